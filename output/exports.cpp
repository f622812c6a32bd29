// Exports of the timer tree for other tools: JSON, folded stacks and an SVG
// flame graph. Each walks the tree without recursion, so any depth works.
#include "output/exports.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "include/timetree.h"
#include "registry/dtimemgr.h"
#include "registry/merge.h"
#include "registry/snapshot.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void AppendFormat(std::string& out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

void AppendFormat(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char buffer[256];
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
    out.append(buffer, static_cast<size_t>(length));
  } else if (length > 0) {
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&out[at], static_cast<size_t>(length) + 1, format, again);
    out.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

double Seconds(TimerNode& node) { return node.watch.GetElapsedTime(); }

double SelfSeconds(TimerNode& node) {
  double self = Seconds(node);
  for (PtrListNode* p = node.children.head(); p != nullptr; p = p->next) {
    self -= Seconds(*static_cast<TimerNode*>(p->data));
  }
  return self > 0.0 ? self : 0.0;
}

// Writes what build appends to text into a new file at path; false when
// there is nothing to export, or the file cannot be written whole. Memory
// that runs out while the text is built also ends in false: no exception
// leaves the library. build(text, flush, snapshot) sees every thread's
// timers merged by path.
template <class Build>
bool Export(const char* path, Build build) {
  if (path == nullptr) return false;
  const Snapshot snapshot;
  if (snapshot.top() == nullptr) return false;
  FILE* file = std::fopen(path, "we");
  if (file == nullptr) return false;
  bool ok = true;
  try {
    std::string text;
    // Written out in pieces of about 64 KiB, so that a large tree never
    // needs its whole text in memory at once.
    build(
        text,
        [&](bool last) {
          if (text.size() >= (64u << 10) || last) {
            ok = ok && std::fwrite(text.data(), 1, text.size(), file) == text.size();
            text.clear();
          }
        },
        snapshot);
  } catch (...) {
    ok = false;
  }
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

// Appends the timers under top as a JSON array's elements.
template <class Flush>
void AppendJsonTimers(std::string& out, const PtrList& top, Flush& flush) {
  WalkNested(
      top,
      [&](TimerNode* node, int, bool first) {
        out += first ? "\n{\"name\": \"" : ",\n{\"name\": \"";
        AppendJsonString(out, node->name);
        AppendFormat(out, "\", \"count\": %d", node->watch.GetCount());
        AppendFormat(out, ", \"total_seconds\": %.17g", Seconds(*node));
        AppendFormat(out, ", \"self_seconds\": %.17g", SelfSeconds(*node));
        out += node->stoppedImplicitly != 0 ? ", \"stopped_implicitly\": true"
                                            : ", \"stopped_implicitly\": false";
        out += StopWatchAccess::Running(node->watch) ? ", \"running\": true"
                                                     : ", \"running\": false";
        out += ", \"children\": [";
        flush(false);
      },
      [&](TimerNode*, int) { out += "]}"; });
}

}  // namespace

size_t Utf8SequenceLength(const unsigned char* s) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(s[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(s[1]) || !cont(s[2])) return 0;
    if (c == 0xE0 && s[1] < 0xA0) return 0;  // overlong
    if (c == 0xED && s[1] > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(s[1]) || !cont(s[2]) || !cont(s[3])) return 0;
    if (c == 0xF0 && s[1] < 0x90) return 0;  // overlong
    if (c == 0xF4 && s[1] > 0x8F) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

namespace {

// Appends text, passing well-formed UTF-8 through: special(out, byte) may
// append its own form of an ASCII byte and return true; a byte that starts
// no well-formed sequence becomes malformed.
template <class Special>
void AppendEscaped(std::string& out, const char* text, Special special,
                   const char* malformed) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  while (*s != 0) {
    if (*s < 0x80 && special(out, *s)) {
      ++s;
    } else if (const size_t n = Utf8SequenceLength(s)) {
      out.append(reinterpret_cast<const char*>(s), n);
      s += n;
    } else {
      out += malformed;
      ++s;
    }
  }
}

}  // namespace

void AppendJsonString(std::string& out, const char* text) {
  AppendEscaped(
      out, text,
      [](std::string& o, unsigned char c) {
        if (c == '"' || c == '\\') {
          o += '\\';
          o += static_cast<char>(c);
        } else if (c < 0x20) {
          AppendFormat(o, "\\u%04x", c);
        } else {
          return false;
        }
        return true;
      },
      "\\ufffd");
}

void AppendFoldedName(std::string& out, const char* name) {
  if (name[0] == '\0') {
    out += "(empty)";
    return;
  }
  AppendEscaped(
      out, name,
      [](std::string& o, unsigned char c) {
        if (c == ';') {
          o += ':';
        } else if (c <= 0x20 || c == 0x7F) {
          o += '_';
        } else {
          return false;
        }
        return true;
      },
      "?");
}

void AppendXmlText(std::string& out, const char* text) {
  AppendEscaped(
      out, text,
      [](std::string& o, unsigned char c) {
        switch (c) {
          case '&': o += "&amp;"; return true;
          case '<': o += "&lt;"; return true;
          case '>': o += "&gt;"; return true;
          case '"': o += "&quot;"; return true;
          case '\'': o += "&apos;"; return true;
          default:
            if (c < 0x20 && c != '\t' && c != '\n') {
              o += kReplacement;  // not allowed in XML 1.0
              return true;
            }
            return false;
        }
      },
      kReplacement);
}

}  // namespace timetree

using timetree::TimerNode;

bool TimeWriteJson(const char* path) {
  return timetree::Export(path, [](std::string& out, auto flush,
                                   const timetree::Snapshot& snapshot) {
    timetree::AppendFormat(out, "{\"schema\": 2, \"frequency\": %.17g, \"timers\": [",
                           timetree::LoadAcquire(StopWatch::m_frequency) != 0.0
                               ? timetree::LoadAcquire(StopWatch::m_frequency)
                               : timetree::TickFrequency());
    timetree::AppendJsonTimers(out, *snapshot.top(), flush);
    out += "\n], \"threads\": [";
    // Each thread's own tree; one whose thread still runs is copied first,
    // so that what is written is read once, as of one moment.
    for (timetree::ThreadTree* t = snapshot.first(); t != nullptr; t = t->nextReported) {
      if (!t->finished) {
        pthread_getname_np(t->thread, t->threadName, sizeof t->threadName);
      }
      out += t == snapshot.first() ? "\n{" : ",\n{";
      timetree::AppendFormat(out, "\"tid\": %ld, \"name\": \"", t->tid);
      timetree::AppendJsonString(out, t->threadName);
      timetree::AppendFormat(out, "\", \"finished\": %s, \"threads\": %d, \"timers\": [",
                             t->finished ? "true" : "false", t->threads);
      if (snapshot.Settled(*t)) {
        timetree::AppendJsonTimers(out, t->root, flush);
      } else {
        timetree::PtrList copy;
        timetree::MergeTimers(copy, t->root);
        timetree::AppendJsonTimers(out, copy, flush);
        if (copy.head() != nullptr) timetree::DestroyTimers(copy, nullptr);
      }
      out += "\n]}";
    }
    out += "\n]}\n";
    flush(true);
  });
}

bool TimeWriteFolded(const char* path) {
  return timetree::Export(path, [](std::string& out, auto flush,
                                   const timetree::Snapshot& snapshot) {
    std::string stack;              // the frames down to the current timer
    std::vector<size_t> lengths;    // stack's length before each frame
    timetree::WalkNested(
        *snapshot.top(),
        [&](TimerNode* node, int depth, bool) {
          lengths.push_back(stack.size());
          if (depth > 0) stack += ';';
          timetree::AppendFoldedName(stack, node->name);
          out += stack;
          timetree::AppendFormat(
              out, " %lld\n",
              static_cast<long long>(std::llround(timetree::SelfSeconds(*node) * 1e6)));
          flush(false);
        },
        [&](TimerNode*, int) {
          stack.resize(lengths.back());
          lengths.pop_back();
        });
    flush(true);
  });
}

bool TimeWriteFlameGraph(const char* path) {
  constexpr double kWidth = 1200.0, kMargin = 10.0, kRow = 18.0, kTop = 50.0;
  constexpr double kCharWidth = 7.0;
  return timetree::Export(path, [&](std::string& out, auto flush,
                                    const timetree::Snapshot& snapshot) {
    const timetree::PtrList& top = *snapshot.top();
    double total = 0.0;
    for (timetree::PtrListNode* p = top.head(); p != nullptr; p = p->next) {
      total += timetree::Seconds(*static_cast<TimerNode*>(p->data));
    }
    int max_depth = 0;
    timetree::WalkPreorder(top, [&](TimerNode*, int depth) {
      if (depth > max_depth) max_depth = depth;
      return true;
    });
    const double height = kTop + (max_depth + 1) * kRow + kMargin;
    const double scale = total > 0.0 ? (kWidth - 2 * kMargin) / total : 0.0;

    timetree::AppendFormat(out,
                           "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                           "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" "
                           "width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n",
                           kWidth, height, kWidth, height);
    out +=
        "<style>text { font-family: monospace; font-size: 12px; fill: #000; }"
        " .timer:hover rect { stroke: #000; stroke-width: 0.5; }</style>\n"
        "<rect width=\"100%\" height=\"100%\" fill=\"#fdfdf6\"/>\n";
    timetree::AppendFormat(out,
                           "<text x=\"%.0f\" y=\"24\" style=\"font-size: 16px\">timetree flame "
                           "graph: %.6f s in all; width is total time, hover for details</text>\n",
                           kMargin, total);

    // Where the next box of each depth begins: a child starts where its
    // parent does, siblings follow one another.
    std::vector<double> next_x{kMargin};
    timetree::WalkPreorder(top, [&](TimerNode* node, int depth) {
      if (next_x.size() < static_cast<size_t>(depth) + 2) next_x.resize(depth + 2);
      const double seconds = timetree::Seconds(*node);
      const double x = next_x[depth];
      const double width = seconds * scale;
      next_x[depth] = x + width;
      next_x[depth + 1] = x;
      const double y = height - kMargin - (depth + 1) * kRow;

      // Warm colours, stable for a name from one run to the next.
      uint32_t hash = 2166136261u;
      for (const char* c = node->name; *c != 0; ++c) {
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
      }
      out += "<g class=\"timer\"><title>";
      timetree::AppendXmlText(out, node->name);
      timetree::AppendFormat(out, "\ncount %d, total %.6f s, self %.6f s%s</title>",
                             node->watch.GetCount(), seconds, timetree::SelfSeconds(*node),
                             timetree::StopWatchAccess::Running(node->watch) ? ", running"
                                                                             : "");
      timetree::AppendFormat(out,
                             "<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" "
                             "rx=\"2\" fill=\"rgb(%u,%u,%u)\"/>",
                             x, y, width, kRow - 1, 205 + hash % 50, 80 + (hash >> 8) % 150,
                             40 + (hash >> 16) % 40);
      // The label, cut to what fits the box; the tooltip holds it whole.
      const size_t fits = width > 2 * kCharWidth
                              ? static_cast<size_t>((width - 6) / kCharWidth)
                              : 0;
      std::string label(node->name);
      if (label.size() > fits) label = fits >= 3 ? label.substr(0, fits - 2) + ".." : "";
      timetree::AppendFormat(out, "<text x=\"%.2f\" y=\"%.1f\">", x + 3, y + kRow - 5);
      timetree::AppendXmlText(out, label.c_str());
      out += "</text></g>\n";
      flush(false);
      return true;
    });
    out += "</svg>\n";
    flush(true);
  });
}
