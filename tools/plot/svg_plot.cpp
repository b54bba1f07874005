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

Rgb positionColour(size_t position, size_t count) {
  const double hue = count > 1 ? 300.0 * static_cast<double>(position) / static_cast<double>(count - 1) : 0.0;
  constexpr double s = 0.72, l = 0.46;
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

std::string renderSvg(const Expansion& expansion, const RunData* run, const PlotSettings& settings) {
  const size_t K = expansion.records.size();
  const size_t d = static_cast<size_t>(expansion.d);
  const double colW = (kRight - kLeft) / static_cast<double>(K);
  const std::string small = "font-size=\"11\" fill=\"#333\"";
  const std::string heading = "font-size=\"14\" font-weight=\"bold\" fill=\"#111\"";
  Svg svg;

  std::vector<size_t> positionOf(K);
  size_t chains = 0;
  for (size_t p = 0; p < K; ++p) {
    positionOf[static_cast<size_t>(expansion.records[p].index)] = p;
    if (expansion.isSeed(p)) ++chains;
  }
  auto columnX = [&](size_t p) { return kLeft + static_cast<double>(p) * colW; };
  auto tipOf = [&](size_t p) {
    return "microcluster " + std::to_string(expansion.records[p].index) + " (position " + std::to_string(p) + ")";
  };

  // Title.
  svg.text(kLeft, 32, settings.title, "font-size=\"20\" font-weight=\"bold\" fill=\"#111\"");
  std::string facts = std::to_string(K) + " microclusters in " + std::to_string(chains) +
                      (chains == 1 ? " chain, " : " chains, ") + std::to_string(d) +
                      (d == 1 ? " dimension" : " dimensions");
  if (run != nullptr) facts += ", " + std::to_string(run->pointCount) + " points";
  if (!settings.subtitle.empty()) facts += "  |  " + settings.subtitle;
  svg.text(kLeft, 54, facts, "font-size=\"13\" fill=\"#555\"");

  // Joining levels.
  const double barTop = 100;
  const double baseline = barTop + kBarHeight;
  svg.text(kLeft, barTop - 14, "Joining level of each microcluster, in expansion order", heading);
  double maxLevel = 0.0;
  for (const ExpansionRecord& r : expansion.records) maxLevel = std::max(maxLevel, r.level);
  const std::vector<double> levelTicks = niceTicks(0.0, maxLevel > 0.0 ? maxLevel : 1.0, 5);
  const double levelTop = std::max(levelTicks.back(), maxLevel);
  const double levelStep = levelTicks.size() > 1 ? levelTicks[1] - levelTicks[0] : 1.0;
  for (double t : levelTicks) {
    const double y = baseline - t / levelTop * kBarHeight;
    svg.line(kLeft, y, kRight, y, "stroke=\"#e4e4e4\" stroke-width=\"1\"");
    svg.text(kLeft - 6, y + 4, tickLabel(t, levelStep), small + " text-anchor=\"end\"");
  }
  svg.rotatedText(26, barTop + kBarHeight / 2, "co-sharing level", small + " text-anchor=\"middle\"");
  const double markerSize = std::clamp(colW * 0.4, 1.5, 5.0);
  for (size_t p = 0; p < K; ++p) {
    const ExpansionRecord& r = expansion.records[p];
    if (expansion.isSeed(p)) {
      seedMarker(svg, columnX(p) + colW / 2, baseline + 3, markerSize, tipOf(p) + ": seed, starts a chain");
      continue;
    }
    const double inset = colW >= 4 ? 0.15 * colW : 0.0;
    const double h = r.level / levelTop * kBarHeight;
    svg.rect(columnX(p) + inset, baseline - h, colW - 2 * inset, h,
             "class=\"bar\" fill=\"" + hex(positionColour(p, K)) + "\"",
             tipOf(p) + ": joined its chain at level " + num(r.level));
  }
  svg.line(kLeft, baseline, kRight, baseline, "stroke=\"#333\" stroke-width=\"1\"");
  // Legend of the bar panel.
  seedMarker(svg, kLegendX + 5, barTop + 2, 5, "", "legend");
  svg.text(kLegendX + 16, barTop + 10, "seed: first of a chain", small);
  svg.line(kLegendX, barTop + 28, kLegendX + 10, barTop + 28, "stroke=\"#555\" stroke-dasharray=\"3,2\"");
  svg.text(kLegendX + 16, barTop + 32, "start of a new chain", small);
  svg.rect(kLegendX, barTop + 44, 10, 10, "fill=\"" + hex(positionColour(0, 3)) + "\"");
  svg.text(kLegendX + 16, barTop + 53, "bar: level at which it", small);
  svg.text(kLegendX + 16, barTop + 67, "joined, coloured by its", small);
  svg.text(kLegendX + 16, barTop + 81, "place in the order", small);

  // Orientation heat map.
  const double heatTop = baseline + 52;
  const double rowH = std::clamp(240.0 / static_cast<double>(d), 4.0, 22.0);
  const double heatH = rowH * static_cast<double>(d);
  svg.text(kLeft, heatTop - 14, "Principal orientation vector of each microcluster: one row per dimension", heading);
  const std::string cellStroke = colW >= 6 ? " stroke=\"#ffffff\" stroke-width=\"0.5\"" : "";
  for (size_t p = 0; p < K; ++p) {
    const ExpansionRecord& r = expansion.records[p];
    for (size_t j = 0; j < d; ++j) {
      svg.rect(columnX(p), heatTop + static_cast<double>(j) * rowH, colW, rowH,
               "class=\"cell\" fill=\"" + hex(orientationColour(r.principal[j])) + "\"" + cellStroke,
               tipOf(p) + ", dim " + std::to_string(j) + ": " + num(r.principal[j]));
    }
  }
  const size_t rowStep = static_cast<size_t>(std::ceil(12.0 / rowH));
  for (size_t j = 0; j < d; j += rowStep) {
    svg.text(kLeft - 6, heatTop + (static_cast<double>(j) + 0.5) * rowH + 4, "dim " + std::to_string(j),
             small + " text-anchor=\"end\"");
  }
  // Microcluster indices under the columns.
  double below = heatTop + heatH;
  const size_t labelStep = colW >= 18 ? 1 : static_cast<size_t>(std::ceil(11.0 / colW));
  if (labelStep == 1) {
    for (size_t p = 0; p < K; ++p) {
      svg.text(columnX(p) + colW / 2, below + 14, std::to_string(expansion.records[p].index),
               "font-size=\"10\" fill=\"#333\" text-anchor=\"middle\"");
    }
    below += 20;
  } else {
    for (size_t p = 0; p < K; p += labelStep) {
      svg.rotatedText(columnX(p) + colW / 2 + 3.5, below + 4, std::to_string(expansion.records[p].index),
                      "font-size=\"10\" fill=\"#333\" text-anchor=\"end\"");
    }
    below += 8 + 6.5 * static_cast<double>(std::to_string(K - 1).size());
  }
  svg.text((kLeft + kRight) / 2, below + 14,
           "microclusters in expansion order (numbers: microcluster index" +
               (labelStep > 1 ? ", one column in " + std::to_string(labelStep) + " labelled)" : std::string(")")),
           small + " text-anchor=\"middle\"");
  below += 22;
  // Chain boundaries across both expansion panels.
  for (size_t p = 1; p < K; ++p) {
    if (!expansion.isSeed(p)) continue;
    const std::string dashed = "stroke=\"#555\" stroke-width=\"1\" stroke-dasharray=\"3,2\"";
    svg.line(columnX(p), barTop, columnX(p), baseline + 12, "class=\"chain-start\" " + dashed);
    svg.line(columnX(p), heatTop, columnX(p), heatTop + heatH, dashed);
  }
  // Colour scale of the heat map.
  const double scaleH = std::max(heatH, 120.0);
  svg.text(kLegendX, heatTop - 14, "component × 255", small + " font-weight=\"bold\"");
  svg.rect(kLegendX, heatTop, 14, scaleH, "fill=\"url(#orientation-scale)\" stroke=\"#999\" stroke-width=\"0.5\"");
  for (double v : {255.0, 128.0, 0.0, -128.0, -255.0}) {
    const double y = heatTop + (255.0 - v) / 510.0 * scaleH;
    svg.line(kLegendX + 14, y, kLegendX + 18, y, "stroke=\"#333\"");
    svg.text(kLegendX + 21, y + 4, num(v), small);
  }
  double bottom = std::max(below, heatTop + scaleH + 10);

  // The data in two dimensions.
  if (run != nullptr && run->pointCount > 0) {
    const size_t dx = static_cast<size_t>(settings.dimX);
    const size_t dy = static_cast<size_t>(settings.dimY);
    const double top = bottom + 52;
    const double left = kLeft;
    const double sampled = static_cast<double>(run->sample.size() / d);
    std::string title = "Data in dimensions " + std::to_string(dx) + " and " + std::to_string(dy) + " (";
    title += sampled < static_cast<double>(run->pointCount)
                 ? num(sampled) + " of " + std::to_string(run->pointCount) + " points drawn)"
                 : std::to_string(run->pointCount) + " points)";
    svg.text(kLeft, top - 14, title, heading);

    double lo[2] = {run->lo[dx], run->lo[dy]};
    double hi[2] = {run->hi[dx], run->hi[dy]};
    for (size_t k = 0; k < K; ++k) {
      const float* mean = &run->means[k * d];
      lo[0] = std::min(lo[0], static_cast<double>(mean[dx]));
      hi[0] = std::max(hi[0], static_cast<double>(mean[dx]));
      lo[1] = std::min(lo[1], static_cast<double>(mean[dy]));
      hi[1] = std::max(hi[1], static_cast<double>(mean[dy]));
    }
    std::vector<double> ticks[2];
    for (int a = 0; a < 2; ++a) {
      const double pad = hi[a] > lo[a] ? 0.04 * (hi[a] - lo[a]) : 0.5;
      lo[a] -= pad;
      hi[a] += pad;
      ticks[a] = niceTicks(lo[a], hi[a], 6);
    }
    auto sx = [&](double v) { return left + (v - lo[0]) / (hi[0] - lo[0]) * kScatterWidth; };
    auto sy = [&](double v) { return top + kScatterHeight - (v - lo[1]) / (hi[1] - lo[1]) * kScatterHeight; };
    const double stepX = ticks[0].size() > 1 ? ticks[0][1] - ticks[0][0] : 1.0;
    const double stepY = ticks[1].size() > 1 ? ticks[1][1] - ticks[1][0] : 1.0;
    for (double t : ticks[0]) {
      svg.line(sx(t), top, sx(t), top + kScatterHeight, "stroke=\"#eeeeee\"");
      svg.text(sx(t), top + kScatterHeight + 15, tickLabel(t, stepX), small + " text-anchor=\"middle\"");
    }
    for (double t : ticks[1]) {
      svg.line(left, sy(t), left + kScatterWidth, sy(t), "stroke=\"#eeeeee\"");
      svg.text(left - 6, sy(t) + 4, tickLabel(t, stepY), small + " text-anchor=\"end\"");
    }
    svg.rect(left, top, kScatterWidth, kScatterHeight, "fill=\"none\" stroke=\"#999\"");
    svg.text(left + kScatterWidth / 2, top + kScatterHeight + 34, "dim " + std::to_string(dx),
             small + " text-anchor=\"middle\"");
    svg.rotatedText(26, top + kScatterHeight / 2, "dim " + std::to_string(dy), small + " text-anchor=\"middle\"");

    // Points, axes and means stay inside the frame: a long axis would cross it.
    svg.out += "<clipPath id=\"data-area\"><rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" +
               num(kScatterWidth) + "\" height=\"" + num(kScatterHeight) + "\"/></clipPath>\n";
    svg.out += "<g clip-path=\"url(#data-area)\">\n<g class=\"points\" fill-opacity=\"0.7\">\n";
    const bool haveMembership = !run->sampleMembership.empty();
    bool unassigned = false;
    for (size_t i = 0; i * d < run->sample.size(); ++i) {
      const float* x = &run->sample[i * d];
      std::string fill = kNoMemberColour;
      if (haveMembership && run->sampleMembership[i] >= 0) {
        fill = hex(positionColour(positionOf[static_cast<size_t>(run->sampleMembership[i])], K));
      } else if (haveMembership) {
        unassigned = true;
      }
      svg.circle(sx(x[dx]), sy(x[dy]), 1.7, "fill=\"" + fill + "\"");
    }
    svg.out += "</g>\n";
    // Principal axes, drawn through the means; their length shows how much of
    // the axis lies in the drawn plane.
    const double reach = 0.07 * std::max(hi[0] - lo[0], hi[1] - lo[1]);
    for (size_t p = 0; p < K; ++p) {
      const ExpansionRecord& r = expansion.records[p];
      const float* mean = &run->means[static_cast<size_t>(r.index) * d];
      const double ax = reach * r.principal[dx] / 255.0;
      const double ay = reach * r.principal[dy] / 255.0;
      svg.line(sx(mean[dx] - ax), sy(mean[dy] - ay), sx(mean[dx] + ax), sy(mean[dy] + ay),
               "class=\"axis\" stroke=\"#222\" stroke-width=\"1.5\"");
    }
    for (size_t p = 0; p < K; ++p) {
      const ExpansionRecord& r = expansion.records[p];
      const float* mean = &run->means[static_cast<size_t>(r.index) * d];
      svg.circle(sx(mean[dx]), sy(mean[dy]), 4.2,
                 "class=\"mean\" fill=\"" + hex(positionColour(p, K)) + "\" stroke=\"#222\" stroke-width=\"1\"",
                 tipOf(p) + ": mean " + num(mean[dx]) + ", " + num(mean[dy]));
    }
    svg.out += "</g>\n";
    // Legend of the data panel.
    const double lx = left + kScatterWidth + 24;
    double ly = top + 10;
    svg.circle(lx + 5, ly - 4, 3, "fill=\"" + hex(positionColour(0, 3)) + "\"");
    svg.text(lx + 16, ly, haveMembership ? "point, in the colour of its" : "point (no membership.txt:", small);
    svg.text(lx + 16, ly + 14, haveMembership ? "microcluster's bar above" : "drawn in grey)", small);
    ly += 34;
    if (unassigned) {
      svg.circle(lx + 5, ly - 4, 3, std::string("fill=\"") + kNoMemberColour + "\"");
      svg.text(lx + 16, ly, "point in no microcluster", small);
      ly += 20;
    }
    svg.circle(lx + 5, ly - 4, 4.2, "fill=\"" + hex(positionColour(0, 3)) + "\" stroke=\"#222\"");
    svg.text(lx + 16, ly, "mean of a microcluster", small);
    ly += 20;
    svg.line(lx, ly - 4, lx + 10, ly - 4, "stroke=\"#222\" stroke-width=\"1.5\"");
    svg.text(lx + 16, ly, "its principal axis, as", small);
    svg.text(lx + 16, ly + 14, "projected on this plane", small);
    bottom = top + kScatterHeight + 44;
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
