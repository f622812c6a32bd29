#include "runformat/flamegraph.h"

#include "runformat/text.h"

namespace timetree {

namespace {
constexpr double kWidth = 1200.0, kMargin = 10.0, kRow = 18.0, kTop = 50.0;
constexpr double kCharWidth = 7.0;
}  // namespace

FlameGraph::FlameGraph(std::string& out, double total, int max_depth, const std::string& title)
    : out_(out),
      height_(kTop + (max_depth + 1) * kRow + kMargin),
      scale_(total > 0.0 ? (kWidth - 2 * kMargin) / total : 0.0),
      next_x_{kMargin} {
  AppendFormat(out_,
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" "
               "width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n",
               kWidth, height_, kWidth, height_);
  out_ +=
      "<style>text { font-family: monospace; font-size: 12px; fill: #000; }"
      " .timer:hover rect { stroke: #000; stroke-width: 0.5; }</style>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"#fdfdf6\"/>\n";
  AppendFormat(out_, "<text x=\"%.0f\" y=\"24\" style=\"font-size: 16px\">", kMargin);
  AppendXmlText(out_, title.c_str());
  out_ += "</text>\n";
}

void FlameGraph::Box(int depth, const char* name, double seconds, const std::string& details,
                     uint32_t rgb) {
  if (next_x_.size() < static_cast<size_t>(depth) + 2) next_x_.resize(depth + 2);
  const double x = next_x_[depth];
  const double width = seconds * scale_;
  next_x_[depth] = x + width;
  next_x_[depth + 1] = x;
  const double y = height_ - kMargin - (depth + 1) * kRow;

  out_ += "<g class=\"timer\"><title>";
  AppendXmlText(out_, name);
  out_ += '\n';
  AppendXmlText(out_, details.c_str());
  out_ += "</title>";
  AppendFormat(out_,
               "<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" "
               "rx=\"2\" fill=\"rgb(%u,%u,%u)\"/>",
               x, y, width, kRow - 1, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
  // The label, cut to what fits the box; the tooltip holds it whole.
  const size_t fits =
      width > 2 * kCharWidth ? static_cast<size_t>((width - 6) / kCharWidth) : 0;
  std::string label(name);
  if (label.size() > fits) label = fits >= 3 ? label.substr(0, fits - 2) + ".." : "";
  AppendFormat(out_, "<text x=\"%.2f\" y=\"%.1f\">", x + 3, y + kRow - 5);
  AppendXmlText(out_, label.c_str());
  out_ += "</text></g>\n";
}

void FlameGraph::Finish() { out_ += "</svg>\n"; }

uint32_t FlameGraph::WarmColour(const char* name) {
  uint32_t hash = 2166136261u;
  for (const char* c = name; *c != 0; ++c) {
    hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
  }
  return ((205 + hash % 50) << 16) | ((80 + (hash >> 8) % 150) << 8) | (40 + (hash >> 16) % 40);
}

}  // namespace timetree
