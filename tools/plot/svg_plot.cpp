// Layout and drawing of the run picture. Coordinates are in pixels of a fixed
// width; the height follows from the number of dimensions and panels.
#include "plot/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zelmor::tools {

namespace {

constexpr double kWidth = 1060;
constexpr double kLeft = 84;    // left edge of the plot areas; labels stand to its left
constexpr double kRight = 860;  // right edge of the expansion panels
constexpr double kLegendX = 884;
constexpr double kBarHeight = 160;
constexpr double kScatterWidth = 560;
constexpr double kScatterHeight = 420;
constexpr const char* kNoMemberColour = "#a0a0a0";

struct Stop {
  double at;
  Rgb colour;
};
constexpr Stop kOrientationStops[] = {{-255.0, {33, 102, 172}},
                                      {-127.5, {103, 169, 207}},
                                      {0.0, {247, 247, 247}},
                                      {127.5, {239, 138, 98}},
                                      {255.0, {178, 24, 43}}};

std::string num(double v) {
  char text[48];
  std::snprintf(text, sizeof text, "%.2f", v);
  std::string s = text;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

std::string hex(Rgb c) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
  return text;
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters other than tab and line ends are not allowed in XML.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
    }
  }
  return out;
}

std::string tickLabel(double value, double step) {
  const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Appends SVG elements to one string.
class Svg {
 public:
  void rect(double x, double y, double w, double h, const std::string& attrs, const std::string& tip = "") {
    element("rect",
            "x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(h) + "\" " + attrs,
            tip);
  }
  void line(double x1, double y1, double x2, double y2, const std::string& attrs) {
    element("line",
            "x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) + "\" " + attrs);
  }
  void circle(double cx, double cy, double r, const std::string& attrs, const std::string& tip = "") {
    element("circle", "cx=\"" + num(cx) + "\" cy=\"" + num(cy) + "\" r=\"" + num(r) + "\" " + attrs, tip);
  }
  void text(double x, double y, const std::string& content, const std::string& attrs = "") {
    out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + (attrs.empty() ? "" : " " + attrs) + ">" +
           escape(content) + "</text>\n";
  }
  void rotatedText(double x, double y, const std::string& content, const std::string& attrs) {
    out += "<text transform=\"translate(" + num(x) + "," + num(y) + ") rotate(-90)\" " + attrs + ">" + escape(content) +
           "</text>\n";
  }
  void element(const char* name, const std::string& attrs, const std::string& tip = "") {
    out += "<";
    out += name;
    out += " " + attrs;
    if (tip.empty()) {
      out += "/>\n";
    } else {
      out += "><title>" + escape(tip) + "</title></";
      out += name;
      out += ">\n";
    }
  }
  std::string out;
};

// A triangle pointing up under the baseline, marking the seed of a chain.
void seedMarker(Svg& svg, double cx, double top, double size, const std::string& tip, const char* cls = "seed") {
  svg.element("path",
              std::string("class=\"") + cls + "\" d=\"M" + num(cx) + " " + num(top) + " L" + num(cx - size) + " " +
                  num(top + 1.6 * size) + " L" + num(cx + size) + " " + num(top + 1.6 * size) + " Z\" fill=\"#222\"",
              tip);
}

}  // namespace

Rgb orientationColour(double component) {
  const double v = std::clamp(component, -255.0, 255.0);
  size_t i = 0;
  while (i + 2 < std::size(kOrientationStops) && v > kOrientationStops[i + 1].at) ++i;
  const Stop& a = kOrientationStops[i];
  const Stop& b = kOrientationStops[i + 1];
  const double f = (v - a.at) / (b.at - a.at);
  auto mix = [f](int x, int y) { return static_cast<int>(std::lround(x + f * (y - x))); };
  return {mix(a.colour.r, b.colour.r), mix(a.colour.g, b.colour.g), mix(a.colour.b, b.colour.b)};
}

Rgb chainColour(size_t chain) {
  // Successive hues a golden angle apart never come close for neighbouring
  // chains; three lightness levels in turn separate the few that do further on.
  const double hue = std::fmod(static_cast<double>(chain) * 137.50776405, 360.0);
  constexpr double kLightness[] = {0.45, 0.60, 0.34};
  const double l = kLightness[chain % 3], s = 0.75;
  const double c = (1.0 - std::fabs(2.0 * l - 1.0)) * s;
  const double h = hue / 60.0;
  const double x = c * (1.0 - std::fabs(std::fmod(h, 2.0) - 1.0));
  double r = 0, g = 0, b = 0;
  if (h < 1) {
    r = c, g = x;
  } else if (h < 2) {
    r = x, g = c;
  } else if (h < 3) {
    g = c, b = x;
  } else if (h < 4) {
    g = x, b = c;
  } else if (h < 5) {
    r = x, b = c;
  } else {
    r = c, b = x;
  }
  const double m = l - c / 2.0;
  auto channel = [m](double v) { return static_cast<int>(std::lround((v + m) * 255.0)); };
  return {channel(r), channel(g), channel(b)};
}

std::vector<double> niceTicks(double lo, double hi, int target) {
  if (!(hi > lo)) {
    lo -= 0.5;
    hi += 0.5;
  }
  const double raw = (hi - lo) / std::max(1, target);
  const int exponent = static_cast<int>(std::floor(std::log10(raw)));
  const double magnitude = std::pow(10.0, exponent);
  const double n = raw / magnitude;
  const double multiple = n < 1.5 ? 1.0 : n < 3.0 ? 2.0 : n < 7.0 ? 5.0 : 10.0;
  // Tick k is k x multiple x 10^exponent; dividing by a whole power of ten
  // rather than multiplying by its inexact inverse gives 0.3, not 0.30000000000000004.
  const double divisor = exponent < 0 ? std::pow(10.0, -exponent) : 1.0;
  const double scale = exponent < 0 ? multiple : multiple * magnitude;
  const double step = scale / divisor;
  std::vector<double> ticks;
  for (double k = std::ceil(lo / step - 1e-9);; k += 1.0) {
    const double v = k * scale / divisor;
    if (v > hi + step * 1e-9) break;
    ticks.push_back(v == 0.0 ? 0.0 : v);
  }
  return ticks;
}

namespace {

constexpr const char* kSmall = "font-size=\"11\" fill=\"#333\"";
constexpr const char* kHeading = "font-size=\"14\" font-weight=\"bold\" fill=\"#111\"";

std::string small(const char* more = "") { return std::string(kSmall) + more; }

// The expansion order as the panels draw it: one column per microcluster, and
// the chain of every position.
struct Columns {
  explicit Columns(const Expansion& expansion);
  double x(size_t p) const { return kLeft + static_cast<double>(p) * width; }
  std::string colour(size_t p) const { return hex(chainColour(chainOf[p])); }
  std::string tip(size_t p) const {
    return "microcluster " + std::to_string(e.records[p].index) + " (position " + std::to_string(p) + ", chain " +
           std::to_string(chainOf[p] + 1) + ")";
  }
  // Of the positions `wanted` (ascending), those at least `gap` pixels right
  // of the last one kept: marks that would crowd each other are left out.
  std::vector<size_t> thin(const std::vector<size_t>& wanted, double gap) const {
    std::vector<size_t> kept;
    for (size_t p : wanted) {
      if (kept.empty() || x(p) - x(kept.back()) >= gap) kept.push_back(p);
    }
    return kept;
  }

  const Expansion& e;
  size_t K, d;
  double width;
  std::vector<size_t> chainOf;     // by position
  std::vector<size_t> positionOf;  // by microcluster index
  std::vector<size_t> starts;      // positions where a chain starts, the first included
  size_t singles = 0;              // chains of one microcluster
};

Columns::Columns(const Expansion& expansion)
    : e(expansion),
      K(expansion.records.size()),
      d(static_cast<size_t>(expansion.d)),
      width((kRight - kLeft) / static_cast<double>(K)),
      chainOf(K),
      positionOf(K) {
  for (size_t p = 0; p < K; ++p) {
    if (p == 0 || e.isSeed(p)) starts.push_back(p);
    chainOf[p] = starts.size() - 1;
    positionOf[static_cast<size_t>(e.records[p].index)] = p;
  }
  for (size_t c = 0; c < starts.size(); ++c) {
    if ((c + 1 < starts.size() ? starts[c + 1] : K) - starts[c] == 1) ++singles;
  }
}

// Title, what the run holds, and its settings when given. Returns the y of the last line.
double drawHeader(Svg& svg, const Columns& c, const RunData* run, const PlotSettings& settings) {
  svg.text(kLeft, 32, settings.title, "font-size=\"20\" font-weight=\"bold\" fill=\"#111\"");
  const size_t chains = c.starts.size();
  std::string facts = "K = " + std::to_string(c.K) + " microclusters in " + std::to_string(chains) +
                      (chains == 1 ? " chain" : " chains");
  if (c.singles > 0) facts += " (" + std::to_string(c.singles) + " of a single microcluster)";
  facts += ", d = " + std::to_string(c.d);
  if (run != nullptr) facts += ", N = " + std::to_string(run->pointCount) + " points";
  if (!settings.subtitle.empty()) facts += "  |  " + settings.subtitle;
  svg.text(kLeft, 54, facts, "font-size=\"13\" fill=\"#555\"");
  if (settings.params.empty()) return 54;
  svg.text(kLeft, 72, "run settings: " + settings.params, "class=\"params\" font-size=\"13\" fill=\"#555\"");
  return 72;
}

// Joining levels, seeds and the legend. Returns the baseline.
double drawBars(Svg& svg, const Columns& c, double top) {
  const double baseline = top + kBarHeight;
  svg.text(kLeft, top - 14, "Joining level of each microcluster, in expansion order", kHeading);
  double maxLevel = 0.0;
  for (const ExpansionRecord& r : c.e.records) maxLevel = std::max(maxLevel, r.level);
  const std::vector<double> ticks = niceTicks(0.0, maxLevel > 0.0 ? maxLevel : 1.0, 5);
  const double levelTop = std::max(ticks.back(), maxLevel);
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1.0;
  for (double t : ticks) {
    const double y = baseline - t / levelTop * kBarHeight;
    svg.line(kLeft, y, kRight, y, "stroke=\"#e4e4e4\" stroke-width=\"1\"");
    svg.text(kLeft - 6, y + 4, tickLabel(t, step), small(" text-anchor=\"end\""));
  }
  svg.rotatedText(26, top + kBarHeight / 2, "co-sharing level", small(" text-anchor=\"middle\""));
  const double inset = c.width >= 4 ? 0.15 * c.width : 0.0;
  for (size_t p = 0; p < c.K; ++p) {
    const ExpansionRecord& r = c.e.records[p];
    if (c.e.isSeed(p)) continue;
    const double h = r.level / levelTop * kBarHeight;
    svg.rect(c.x(p) + inset, baseline - h, c.width - 2 * inset, h, "class=\"bar\" fill=\"" + c.colour(p) + "\"",
             c.tip(p) + ": joined its chain at level " + num(r.level));
  }
  std::vector<size_t> seeds;
  for (size_t p = 0; p < c.K; ++p) {
    if (c.e.isSeed(p)) seeds.push_back(p);
  }
  const double size = std::clamp(c.width * 0.4, 2.5, 5.0);
  const std::vector<size_t> marked = c.thin(seeds, 2 * size + 2);
  for (size_t p : marked) {
    seedMarker(svg, c.x(p) + c.width / 2, baseline + 3, size, c.tip(p) + ": seed, starts a chain");
  }
  svg.line(kLeft, baseline, kRight, baseline, "stroke=\"#333\" stroke-width=\"1\"");

  seedMarker(svg, kLegendX + 5, top + 2, 5, "", "legend");
  svg.text(kLegendX + 16, top + 10, "seed: first of a chain", small());
  double y = top + 24;
  if (marked.size() < seeds.size()) {
    svg.text(kLegendX + 16, y, "(" + std::to_string(marked.size()) + " of " + std::to_string(seeds.size()) + " shown)",
             small());
    y += 14;
  }
  svg.line(kLegendX, y + 4, kLegendX + 10, y + 4, "stroke=\"#555\" stroke-dasharray=\"3,2\"");
  svg.text(kLegendX + 16, y + 8, "start of a new chain", small());
  y += 22;
  for (int i = 0; i < 3; ++i) svg.rect(kLegendX + 4 * i, y, 4, 10, "fill=\"" + hex(chainColour(i)) + "\"");
  svg.text(kLegendX + 16, y + 9, "bar: level at which it", small());
  svg.text(kLegendX + 16, y + 23, "joined, in the colour", small());
  svg.text(kLegendX + 16, y + 37, "of its chain", small());
  return baseline;
}

// Heat map of the principal orientation vectors, with the microcluster
// indices under it. Returns the bottom of what it drew.
double drawHeatMap(Svg& svg, const Columns& c, double top) {
  const double rowH = std::clamp(240.0 / static_cast<double>(c.d), 4.0, 22.0);
  const double heatH = rowH * static_cast<double>(c.d);
  svg.text(kLeft, top - 14, "Principal orientation vector of each microcluster: one row per dimension", kHeading);
  const std::string cellStroke = c.width >= 6 ? " stroke=\"#ffffff\" stroke-width=\"0.5\"" : "";
  for (size_t p = 0; p < c.K; ++p) {
    const ExpansionRecord& r = c.e.records[p];
    for (size_t j = 0; j < c.d; ++j) {
      svg.rect(c.x(p), top + static_cast<double>(j) * rowH, c.width, rowH,
               "class=\"cell\" fill=\"" + hex(orientationColour(r.principal[j])) + "\"" + cellStroke,
               c.tip(p) + ", dim " + std::to_string(j) + ": " + num(r.principal[j]));
    }
  }
  const size_t rowStep = static_cast<size_t>(std::ceil(12.0 / rowH));
  for (size_t j = 0; j < c.d; j += rowStep) {
    svg.text(kLeft - 6, top + (static_cast<double>(j) + 0.5) * rowH + 4, "dim " + std::to_string(j),
             small(" text-anchor=\"end\""));
  }
  double below = top + heatH;
  // Upright labels fit columns of 18 pixels; narrower ones get turned
  // labels, 11 pixels apart.
  const bool upright = c.width >= 18;
  const size_t labelStep = upright ? 1 : static_cast<size_t>(std::ceil(11.0 / c.width));
  for (size_t p = 0; p < c.K; p += labelStep) {
    const std::string index = std::to_string(c.e.records[p].index);
    if (upright) {
      svg.text(c.x(p) + c.width / 2, below + 14, index, "font-size=\"10\" fill=\"#333\" text-anchor=\"middle\"");
    } else {
      svg.rotatedText(c.x(p) + c.width / 2 + 3.5, below + 4, index,
                      "font-size=\"10\" fill=\"#333\" text-anchor=\"end\"");
    }
  }
  below += upright ? 20 : 8 + 6.5 * static_cast<double>(std::to_string(c.K - 1).size());
  svg.text((kLeft + kRight) / 2, below + 14,
           "microclusters in expansion order (numbers: microcluster index" +
               (labelStep > 1 ? ", one column in " + std::to_string(labelStep) + " labelled)" : std::string(")")),
           small(" text-anchor=\"middle\""));
  // Colour scale.
  const double scaleH = std::max(heatH, 120.0);
  svg.text(kLegendX, top - 14, "component × 255", small(" font-weight=\"bold\""));
  svg.rect(kLegendX, top, 14, scaleH, "fill=\"url(#orientation-scale)\" stroke=\"#999\" stroke-width=\"0.5\"");
  for (double v : {255.0, 128.0, 0.0, -128.0, -255.0}) {
    const double y = top + (255.0 - v) / 510.0 * scaleH;
    svg.line(kLegendX + 14, y, kLegendX + 18, y, "stroke=\"#333\"");
    svg.text(kLegendX + 21, y + 4, num(v), small());
  }
  return std::max(below + 22, top + scaleH + 10);
}

// Dashed lines where a chain of more than one microcluster starts or ends,
// left out where they would crowd into a grey wash; the seed marks show the
// chains of one.
void drawChainStarts(Svg& svg, const Columns& c, double barTop, double baseline, double heatTop) {
  const double heatBottom =
      heatTop + std::clamp(240.0 / static_cast<double>(c.d), 4.0, 22.0) * static_cast<double>(c.d);
  auto length = [&](size_t chain) {
    return (chain + 1 < c.starts.size() ? c.starts[chain + 1] : c.K) - c.starts[chain];
  };
  std::vector<size_t> bounds;
  for (size_t chain = 1; chain < c.starts.size(); ++chain) {
    if (length(chain) > 1 || length(chain - 1) > 1) bounds.push_back(c.starts[chain]);
  }
  const std::string dashed = "stroke=\"#555\" stroke-width=\"1\" stroke-dasharray=\"3,2\"";
  for (size_t p : c.thin(bounds, 5.0)) {
    svg.line(c.x(p), barTop, c.x(p), baseline + 12, "class=\"chain-start\" " + dashed);
    svg.line(c.x(p), heatTop, c.x(p), heatBottom, dashed);
  }
}

// The frame, ticks and labels of the data panel; sets the scales.
struct DataFrame {
  double top, lo[2], hi[2];
  double sx(double v) const { return kLeft + (v - lo[0]) / (hi[0] - lo[0]) * kScatterWidth; }
  double sy(double v) const { return top + kScatterHeight - (v - lo[1]) / (hi[1] - lo[1]) * kScatterHeight; }
};

DataFrame drawDataFrame(Svg& svg, const Plane& plane, double top, double lo[2], double hi[2]) {
  DataFrame f{top, {0, 0}, {0, 0}};
  std::vector<double> ticks[2];
  for (int a = 0; a < 2; ++a) {
    const double pad = hi[a] > lo[a] ? 0.04 * (hi[a] - lo[a]) : 0.5;
    f.lo[a] = lo[a] - pad;
    f.hi[a] = hi[a] + pad;
    ticks[a] = niceTicks(f.lo[a], f.hi[a], 6);
  }
  const double stepX = ticks[0].size() > 1 ? ticks[0][1] - ticks[0][0] : 1.0;
  const double stepY = ticks[1].size() > 1 ? ticks[1][1] - ticks[1][0] : 1.0;
  for (double t : ticks[0]) {
    svg.line(f.sx(t), top, f.sx(t), top + kScatterHeight, "stroke=\"#eeeeee\"");
    svg.text(f.sx(t), top + kScatterHeight + 15, tickLabel(t, stepX), small(" text-anchor=\"middle\""));
  }
  for (double t : ticks[1]) {
    svg.line(kLeft, f.sy(t), kLeft + kScatterWidth, f.sy(t), "stroke=\"#eeeeee\"");
    svg.text(kLeft - 6, f.sy(t) + 4, tickLabel(t, stepY), small(" text-anchor=\"end\""));
  }
  svg.rect(kLeft, top, kScatterWidth, kScatterHeight, "fill=\"none\" stroke=\"#999\"");
  svg.text(kLeft + kScatterWidth / 2, top + kScatterHeight + 34, plane.name[0], small(" text-anchor=\"middle\""));
  svg.rotatedText(26, top + kScatterHeight / 2, plane.name[1], small(" text-anchor=\"middle\""));
  return f;
}

void drawDataLegend(Svg& svg, double top, bool haveMembership, bool unassigned, double meanR) {
  const double lx = kLeft + kScatterWidth + 24;
  double ly = top + 10;
  const std::string sample = "fill=\"" + hex(chainColour(0)) + "\"";
  svg.circle(lx + 5, ly - 4, 3, sample);
  svg.text(lx + 16, ly, haveMembership ? "point, in the colour of its" : "point (no membership.txt:", small());
  svg.text(lx + 16, ly + 14, haveMembership ? "microcluster's chain" : "drawn in grey)", small());
  ly += 34;
  if (unassigned) {
    svg.circle(lx + 5, ly - 4, 3, std::string("fill=\"") + kNoMemberColour + "\"");
    svg.text(lx + 16, ly, "point in no microcluster", small());
    ly += 20;
  }
  svg.circle(lx + 5, ly - 4, std::max(meanR, 3.0), sample + " stroke=\"#222\"");
  svg.text(lx + 16, ly, "mean of a microcluster", small());
  ly += 20;
  svg.line(lx, ly - 4, lx + 10, ly - 4, "stroke=\"#222\" stroke-width=\"1.5\"");
  svg.text(lx + 16, ly, "its principal axis, over", small());
  svg.text(lx + 16, ly + 14, "mean ± 2 sd of its points", small());
  svg.text(lx + 16, ly + 28, "along it, projected on", small());
  svg.text(lx + 16, ly + 42, "this plane", small());
}

// The points, and every microcluster's mean and principal axis, on `plane`.
// Returns the bottom of what it drew.
double drawData(Svg& svg, const Columns& c, const RunData& run, const Plane& plane, double top) {
  const size_t d = c.d;
  const size_t sampled = run.sample.size() / d;
  std::string title = plane.caption + " (";
  title += sampled < static_cast<size_t>(run.pointCount)
               ? std::to_string(sampled) + " of " + std::to_string(run.pointCount) + " points drawn)"
               : std::to_string(run.pointCount) + " points)";
  svg.text(kLeft, top - 14, title, kHeading);

  std::vector<double> at[2];
  for (int a = 0; a < 2; ++a) {
    for (size_t i = 0; i < sampled; ++i) at[a].push_back(plane.at(&run.sample[i * d], a));
    for (size_t k = 0; k < c.K; ++k) at[a].push_back(plane.at(&run.means[k * d], a));
  }
  double lo[2], hi[2];
  for (int a = 0; a < 2; ++a) {
    lo[a] = *std::min_element(at[a].begin(), at[a].end());
    hi[a] = *std::max_element(at[a].begin(), at[a].end());
  }
  const DataFrame f = drawDataFrame(svg, plane, top, lo, hi);

  // Points, axes and means stay inside the frame: a long axis would cross it.
  svg.out += "<clipPath id=\"data-area\"><rect x=\"" + num(kLeft) + "\" y=\"" + num(top) + "\" width=\"" +
             num(kScatterWidth) + "\" height=\"" + num(kScatterHeight) + "\"/></clipPath>\n";
  svg.out += "<g clip-path=\"url(#data-area)\">\n<g class=\"points\" fill-opacity=\"0.7\">\n";
  const bool haveMembership = !run.sampleMembership.empty();
  bool unassigned = false;
  for (size_t i = 0; i < sampled; ++i) {
    std::string fill = kNoMemberColour;
    if (haveMembership && run.sampleMembership[i] >= 0) {
      fill = c.colour(c.positionOf[static_cast<size_t>(run.sampleMembership[i])]);
    } else if (haveMembership) {
      unassigned = true;
    }
    svg.circle(f.sx(at[0][i]), f.sy(at[1][i]), 1.7, "fill=\"" + fill + "\"");
  }
  svg.out += "</g>\n";
  const std::vector<double> units = unitPrincipals(c.e);
  const double reach = 0.07 * std::max(hi[0] - lo[0], hi[1] - lo[1]);  // without points of its own
  const double crowd = std::sqrt(30.0 / static_cast<double>(c.K));     // below 1 for more than 30 microclusters
  // Many axes would bury the points: thinner and fainter as K grows.
  const std::string axisStyle = "class=\"axis\" stroke=\"#222\" stroke-width=\"" +
                                num(std::clamp(1.5 * crowd, 0.5, 1.5)) + "\" stroke-opacity=\"" +
                                num(std::clamp(crowd, 0.5, 1.0)) + "\"";
  for (size_t p = 0; p < c.K; ++p) {
    const size_t k = static_cast<size_t>(c.e.records[p].index);
    const bool own = run.memberCount[k] > 0 && run.axisTo[k] > run.axisFrom[k];
    const double from = own ? run.axisFrom[k] : -reach, to = own ? run.axisTo[k] : reach;
    const double mx = at[0][sampled + k], my = at[1][sampled + k];
    const double ux = plane.along(&units[k * d], 0), uy = plane.along(&units[k * d], 1);
    svg.line(f.sx(mx + from * ux), f.sy(my + from * uy), f.sx(mx + to * ux), f.sy(my + to * uy), axisStyle);
  }
  const double meanR = std::clamp(4.2 * crowd, 2.0, 4.2);
  for (size_t p = 0; p < c.K; ++p) {
    const size_t k = static_cast<size_t>(c.e.records[p].index);
    const double mx = at[0][sampled + k], my = at[1][sampled + k];
    svg.circle(
        f.sx(mx), f.sy(my), meanR,
        "class=\"mean\" fill=\"" + c.colour(p) + "\" stroke=\"#222\" stroke-width=\"" +
            num(std::clamp(crowd, 0.5, 1.0)) + "\"",
        c.tip(p) + ": mean at " + num(mx) + ", " + num(my) + " (" + std::to_string(run.memberCount[k]) + " points)");
  }
  svg.out += "</g>\n";
  drawDataLegend(svg, top, haveMembership, unassigned, meanR);
  return top + kScatterHeight + 44;
}

}  // namespace

std::string renderSvg(const Expansion& expansion, const RunData* run, const PlotSettings& settings) {
  const Columns c(expansion);
  Svg svg;
  const double header = drawHeader(svg, c, run, settings);
  const double barTop = header + 46;
  const double baseline = drawBars(svg, c, barTop);
  const double heatTop = baseline + 52;
  double bottom = drawHeatMap(svg, c, heatTop);
  drawChainStarts(svg, c, barTop, baseline, heatTop);
  if (run != nullptr && run->pointCount > 0) {
    const Plane plane =
        settings.plane != nullptr ? *settings.plane : dimensionPlane(expansion.d, settings.dimX, settings.dimY);
    bottom = drawData(svg, c, *run, plane, bottom + 52);
  }

  const double height = std::ceil(bottom + 16);
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  doc += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" + num(height) +
         "\" viewBox=\"0 0 " + num(kWidth) + " " + num(height) +
         "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\">\n";
  doc += "<title>" + escape(settings.title) + "</title>\n";
  doc += "<defs>\n<linearGradient id=\"orientation-scale\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">\n";
  for (const Stop& s : kOrientationStops) {
    doc += "<stop offset=\"" + num((s.at + 255.0) / 510.0) + "\" stop-color=\"" + hex(s.colour) + "\"/>\n";
  }
  doc += "</linearGradient>\n</defs>\n";
  doc += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  doc += svg.out;
  doc += "</svg>\n";
  return doc;
}

}  // namespace zelmor::tools
