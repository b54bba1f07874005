#include "app/driver.h"

int main(int argc, char** argv) { return zelmor::runDriver(argc, argv); }
