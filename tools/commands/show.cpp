// timetree show: a run as an indented table.
#include <algorithm>
#include <cstdlib>
#include <string>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "runformat/text.h"
#include "lib/io.h"
#include "lib/run.h"
#include "lib/series.h"
#include "lib/table.h"

namespace timetree_cli {

namespace {

struct ShowOptions {
  std::string run;
  double min_share = 0;  // percent
  bool threads = false;
  std::string sort;      // total, self, count, name; empty: the tree's order
  int depth = 1 << 30;   // levels shown
  bool seconds = false;  // plain seconds rather than a unit per value
  bool no_metadata = false;
  bool all = false;      // a thread's rows of a path it adopted, too
  bool wide = false;     // names whole, however long
  size_t columns = 0;    // the lines' most columns (0: any), unless wide
  long width = -1;       // --width: the columns asked for (-1: the terminal's)
  std::string series;    // --series: the step whose series is shown
  int slowest = 5;       // --slowest: the steps it lists
};

}  // namespace

namespace {

// Whether a comes before b among siblings in the order asked for: the
// larger figure first, names alphabetically; the tree's order otherwise.
bool Before(const std::string& sort, const Node& a, const Node& b) {
  if (sort == "total") return a.Mean() > b.Mean();
  if (sort == "self") return a.MeanSelf() > b.MeanSelf();
  if (sort == "count") return a.count.sum > b.count.sum;
  if (sort == "name") return a.name < b.name;
  return false;
}

// Visits the nodes under root parent first, siblings in the order asked for,
// without recursion; visit(node, depth) returns whether to enter the node.
template <class Visit>
void SortedPreorder(const Node& root, const std::string& sort, Visit visit) {
  struct Frame {
    std::vector<const Node*> children;
    size_t next = 0;
  };
  auto frame_of = [&sort](const Node& node) {
    Frame frame;
    for (const auto& child : node.children) frame.children.push_back(child.get());
    if (!sort.empty()) {
      std::stable_sort(frame.children.begin(), frame.children.end(),
                       [&sort](const Node* a, const Node* b) { return Before(sort, *a, *b); });
    }
    return frame;
  };
  std::vector<Frame> stack;
  stack.push_back(frame_of(root));
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.children.size()) {
      stack.pop_back();
      continue;
    }
    const Node* child = frame.children[frame.next++];
    if (visit(*child, static_cast<int>(stack.size()) - 1) && !child->children.empty()) {
      stack.push_back(frame_of(*child));
    }
  }
}

// Whether any path of a single run was started by more than one thread.
bool HasThreadSpread(const Node& root) {
  bool any = false;
  Preorder(root, [&any](const Node& node, int) {
    any = any || node.threads > 1;
    return !any;
  });
  return any;
}

// Which of the columns that later files add the table needs.
struct RowExtras {
  bool intervals = false;
  bool bytes = false;
  unsigned counters = 0;            // TIMETREE_COUNTERS' counters any timer has
  std::vector<std::string> spaces;  // memory spaces any timer has
};
RowExtras ExtrasOf(const Node& root) {
  RowExtras extras;
  Preorder(root, [&extras](const Node& node, int) {
    extras.intervals = extras.intervals || node.has_intervals;
    extras.bytes = extras.bytes || node.bytes > 0;
    extras.counters |= node.has_counters;
    for (const timetree::combined::MemoryUse& use : node.memory) {
      if (std::find(extras.spaces.begin(), extras.spaces.end(), use.space) == extras.spaces.end()) {
        extras.spaces.push_back(use.space);
      }
    }
    return true;
  });
  return extras;
}

// The counters' columns: CPU (and CPU/WALL, the share of the wall time the
// thread had the processor), FAULTS and PEAK RSS, each where the file has
// that counter. A combined file's are its sources' mean, its peak their
// highest.
constexpr unsigned kCpuBit = 1u << 0, kFaultsBit = 1u << 1, kPeakBit = 1u << 4;
void CounterHeaders(unsigned counters, const std::string& s, std::vector<std::string>& header) {
  if ((counters & kCpuBit) != 0) header.insert(header.end(), {"CPU" + s, "CPU/WALL"});
  if ((counters & kFaultsBit) != 0) header.push_back("FAULTS");
  if ((counters & kPeakBit) != 0) header.push_back("PEAK RSS");
}
void CounterCells(unsigned counters, const Node& node, bool plain, std::vector<std::string>& row) {
  const double sources = node.sources > 0 ? static_cast<double>(node.sources) : 1.0;
  auto has = [&node](unsigned bit) { return (node.has_counters & bit) != 0; };
  if ((counters & kCpuBit) != 0 && !has(kCpuBit)) row.insert(row.end(), {"-", "-"});
  if ((counters & kCpuBit) != 0 && has(kCpuBit)) {
    std::string ratio = "-";
    if (node.total.sum > 0) {
      ratio.clear();
      timetree::AppendFormat(ratio, "%.2f", node.counters[0] / node.total.sum);
    }
    row.insert(row.end(), {Duration(node.counters[0] / sources, plain), ratio});
  }
  if ((counters & kFaultsBit) != 0) {
    row.push_back(has(kFaultsBit) ? CountText(std::llround(node.counters[1] / sources)) : "-");
  }
  if ((counters & kPeakBit) != 0) {
    row.push_back(has(kPeakBit) ? BytesText(node.counters[timetree::combined::kPeakCounter]) : "-");
  }
}

// The memory columns, three a space: SPACE ALLOCATED and SPACE FREED (a
// combined file's: its sources' mean) and SPACE PEAK (the most live after
// an allocation within the timer; a combined file's highest).
void MemoryHeaders(const std::vector<std::string>& spaces, std::vector<std::string>& header) {
  for (const std::string& space : spaces) {
    header.insert(header.end(), {space + " ALLOCATED", space + " FREED", space + " PEAK"});
  }
}
void MemoryCells(const std::vector<std::string>& spaces, const Node& node,
                 std::vector<std::string>& row) {
  const double sources = node.sources > 0 ? static_cast<double>(node.sources) : 1.0;
  for (const std::string& space : spaces) {
    const timetree::combined::MemoryUse* use = nullptr;
    for (const timetree::combined::MemoryUse& have : node.memory) {
      if (have.space == space) use = &have;
    }
    if (use == nullptr) {
      row.insert(row.end(), {"-", "-", "-"});
    } else {
      auto mean = [&](uint64_t bytes) {
        return use->saturated ? std::string("saturated")
                              : BytesText(static_cast<double>(bytes) / sources);
      };
      row.insert(row.end(), {mean(use->allocated), mean(use->freed)});
      row.push_back(use->peak > 0 ? BytesText(static_cast<double>(use->peak)) : "-");
    }
  }
}

// What a table's shares came to: whether one was above 100%, or above its
// parent's (threads at work at once add up past the time they ran in).
struct Shares {
  bool over_all = false;
  bool over_parent = false;
};

// Writes the table. In a thread's own table (adopted: its top-level timers
// may hang from a path it adopted, whose timers it never started) rows of
// that path are left out unless options.all asks for them; the rows under
// them carry the path in their name ("run;iteration;work").
Shares WriteTable(const Node& root, bool combined, double whole, const ShowOptions& options,
                  std::ostream& out, bool adopted = false) {
  const bool plain = options.seconds;
  auto share = [whole](const Node& node) { return whole > 0 ? node.Mean() / whole * 100 : 0.0; };
  auto percent = [](double value) {
    std::string text;
    timetree::AppendFormat(text, "%.1f%%", value);
    return text;
  };
  auto per_start = [plain](const Node& node) {
    return node.count.sum > 0 ? Duration(node.total.sum / node.count.sum, plain) : "-";
  };
  const std::string s = plain ? " s" : "";
  const bool spread = !combined && HasThreadSpread(root);
  std::vector<std::string> header =
      combined ? std::vector<std::string>{"NAME", "SOURCES", "COUNT", "MEAN" + s,
                                          "PER START" + s, "MIN" + s, "(src)", "MAX" + s, "(src)",
                                          "STDDEV" + s, "IMBALANCE"}
      : spread ? std::vector<std::string>{"NAME", "COUNT", "TOTAL" + s, "SELF" + s,
                                          "PER START" + s, "THREADS", "MIN" + s, "MAX" + s,
                                          "IMBALANCE"}
               : std::vector<std::string>{"NAME", "COUNT", "TOTAL" + s, "SELF" + s,
                                          "PER START" + s};
  // Files of 1.4 and later: the shortest and the longest single interval
  // (a combined file's longest with its source), and the bytes.
  const RowExtras extras = ExtrasOf(root);
  if (extras.intervals && combined) {
    header.insert(header.end(), {"LONGEST" + s, "(src)"});
  } else if (extras.intervals) {
    header.insert(header.end(), {"SHORTEST" + s, "LONGEST" + s});
  }
  if (extras.bytes) header.push_back("BYTES");
  CounterHeaders(extras.counters, s, header);
  MemoryHeaders(extras.spaces, header);
  header.push_back("SHARE");
  Table table(header);
  Shares shares;
  // Per depth of the walk: the path of left-out rows that the children's
  // names carry, the depth the children are shown at, and the share of the
  // row shown last there.
  std::vector<std::string> prefixes;
  std::vector<int> shown_depths;
  std::vector<double> parent_shares;
  SortedPreorder(root, options.sort, [&](const Node& node, int depth) {
    prefixes.resize(static_cast<size_t>(depth) + 1);
    shown_depths.resize(static_cast<size_t>(depth) + 1);
    parent_shares.resize(static_cast<size_t>(depth) + 1);
    const std::string prefix = depth > 0 ? prefixes[depth - 1] : "";
    const int shown = depth > 0 ? shown_depths[depth - 1] : 0;
    const double parent_share = depth > 0 ? parent_shares[depth - 1] : -1;
    if (adopted && !options.all && node.count.sum == 0 && node.running == 0 &&
        !node.children.empty()) {
      prefixes[depth] = prefix + node.name + ";";
      shown_depths[depth] = shown;
      parent_shares[depth] = parent_share;
      return true;
    }
    prefixes[depth] = "";
    shown_depths[depth] = shown + 1;
    // A running timer's children may pass it for another reason: a file of
    // an older version gave it only its finished intervals.
    parent_shares[depth] = node.running > 0 ? -1 : share(node);
    if (share(node) < options.min_share || shown >= options.depth) return false;
    std::string label = IndentedLabel(shown, prefix + node.name);
    if (node.implicit) label += " ?";
    std::vector<std::string> row;
    if (combined) {
      const double mean = node.Mean();
      std::string imbalance;
      timetree::AppendFormat(imbalance, "%.2f", mean > 0 ? node.total.max / mean : 1.0);
      row = {label, std::to_string(node.sources), CountText(node.count.sum),
             Duration(mean, plain), per_start(node), Duration(node.total.min, plain),
             std::to_string(node.total.min_source), Duration(node.total.max, plain),
             std::to_string(node.total.max_source), Duration(node.StdDev(), plain), imbalance};
    } else if (spread) {
      // A path of one thread: its total is the least and the greatest; of
      // none, one only on the path to another thread's timers.
      const long threads = node.threads > 1 ? node.threads : node.count.sum > 0 ? 1 : 0;
      const double min = node.threads > 1 ? node.thread_min : node.total.sum;
      const double max = node.threads > 1 ? node.thread_max : node.total.sum;
      const double mean = threads > 0 ? node.total.sum / static_cast<double>(threads) : 0.0;
      std::string imbalance;
      timetree::AppendFormat(imbalance, "%.2f", mean > 0 ? max / mean : 1.0);
      row = {label, CountText(node.count.sum), Duration(node.total.sum, plain),
             Duration(node.self.sum, plain), per_start(node), std::to_string(threads),
             Duration(min, plain), Duration(max, plain), imbalance};
    } else {
      row = {label, CountText(node.count.sum), Duration(node.total.sum, plain),
             Duration(node.self.sum, plain), per_start(node)};
    }
    if (extras.intervals && !node.has_intervals) {
      row.insert(row.end(), {"-", "-"});
    } else if (extras.intervals && combined) {
      row.insert(row.end(), {Duration(node.intervals.max, plain),
                             std::to_string(node.intervals.max_source)});
    } else if (extras.intervals) {
      row.insert(row.end(),
                 {Duration(node.intervals.min, plain), Duration(node.intervals.max, plain)});
    }
    if (extras.bytes) row.push_back(node.bytes > 0 ? BytesText(node.bytes) : "-");
    CounterCells(extras.counters, node, plain, row);
    MemoryCells(extras.spaces, node, row);
    row.push_back(percent(share(node)));
    table.Add(std::move(row));
    // Shown to one decimal: above 100.0%, or above the parent's, only when
    // it reads so.
    shares.over_all = shares.over_all || share(node) >= 100.05;
    shares.over_parent = shares.over_parent ||
                         (parent_share >= 0 && percent(share(node)) != percent(parent_share) &&
                          share(node) > parent_share);
    std::string note;
    if (node.running > 0 && !combined) note += "  running";
    if (node.running > 0 && combined) {
      note += "  running in " + std::to_string(node.running) +
              (node.running == 1 ? " source" : " sources");
    }
    if (node.names_merged) note += "  names merged";
    if (node.throttled) note += "  throttled";
    if (!note.empty()) table.Note(note);
    return true;
  });
  if (!options.wide) table.FitTo(options.columns);
  out << table.Text();
  return shares;
}

// Said under a table whose shares pass 100%, or a parent's.
void WriteSharesNote(const Shares& shares, std::ostream& out) {
  if (shares.over_all) {
    out << "SHARE above 100%: threads that ran at the same time, whose totals add up\n";
  } else if (shares.over_parent) {
    out << "SHARE above its parent's: threads that ran at the same time, whose totals add up\n";
  }
}

// What timing itself cost, from the pairs made (every count) and the cost
// of one that the library measured (a combined file: its sources' mean):
// one line after the first, or none when the file does not say.
std::string CostLine(const Run& run) {
  const auto value_of = timetree::combined::MetadataNumber;
  double pair = value_of(run.metadata, "timing_pair_seconds");
  // The other work that timing did (hooks of functions not timed, trial
  // clock reads): a combined file's is its sources' sum, as its counts are.
  double other = value_of(run.metadata, "timing_other_seconds");
  double hooks = value_of(run.metadata, "timing_hook_calls");
  if (!run.source_metadata.empty()) {
    if (pair <= 0) {
      for (const auto& metadata : run.source_metadata) {
        pair += value_of(metadata, "timing_pair_seconds");
      }
      pair /= static_cast<double>(run.source_metadata.size());
    }
    other = hooks = 0;
    for (const auto& metadata : run.source_metadata) {
      other += value_of(metadata, "timing_other_seconds");
      hooks += value_of(metadata, "timing_hook_calls");
    }
  }
  if (!(pair > 0)) return "";
  double pairs = 0, timed = 0, most = 0;
  const Node* busiest = nullptr;
  Preorder(run.root, [&](const Node& node, int depth) {
    pairs += node.count.sum;
    if (depth == 0) timed += node.total.sum;
    if (node.count.sum > most) {
      most = node.count.sum;
      busiest = &node;
    }
    return true;
  });
  if (!(timed > 0)) return "";
  const double share = (pairs * pair + other) / timed * 100;
  std::string line;
  if (share < 0.01) {
    line = "timing cost < 0.01%";
  } else {
    timetree::AppendFormat(line, share < 1    ? "timing cost \u2248 %.2f%%"
                                 : share < 10 ? "timing cost \u2248 %.1f%%"
                                              : "timing cost \u2248 %.0f%%",
                           share);
  }
  timetree::AppendFormat(line, " of the time in timers (%s pairs \u00d7 %s", CountText(pairs).c_str(),
                         DurationWithUnit(pair, false).c_str());
  if (other > 0) {
    timetree::AppendFormat(line, ", and %s of other work: %s hook calls of instrumented functions "
                           "and the trials' clock reads", DurationWithUnit(other, false).c_str(),
                           CountText(hooks).c_str());
  }
  line += ")";
  if (share >= 5 && other > pairs * pair) {
    line += ": most of it is instrumented functions that are not timed; `timetree exclude " +
            run.file + "` prints the compiler option that leaves them out of a rebuild";
  } else if (share >= 5 && busiest != nullptr) {
    line += ": consider excluding or throttling " + Display(busiest->name) + " (" +
            CountText(most) + " pairs)";
  }
  return line + "\n";
}

size_t Count(const Node& root) {
  size_t n = 0;
  Preorder(root, [&n](const Node&, int) {
    ++n;
    return true;
  });
  return n;
}

}  // namespace

int Show(const ShowOptions& options, std::ostream& out, std::ostream& err) {
  const auto run = ReadRun(options.run);
  const auto timers = SeriesTimers(*run, options.series);
  if (!options.series.empty() && timers.empty()) {
    throw InputError(run->file + " has no series of a timer named \"" + options.series +
                     "\": run it with TIMETREE_SERIES=" + options.series);
  }
  const double whole = RunWallTime(*run);
  std::string head;
  timetree::AppendFormat(head, "%s: %zu timers, %s in all", run->file.c_str(), Count(run->root),
                         DurationWithUnit(whole, options.seconds).c_str());
  bool threaded = false;
  if (ProcessWallTime(*run, &threaded) > 0 && threaded) {
    // Threads at work at once: their top-level timers, summed, are thread
    // time, which the shares are not taken against.
    double thread_time = 0;
    for (const auto& node : run->root.children) thread_time += node->Mean();
    timetree::AppendFormat(head, " (the process's wall time; %s of thread time in top-level timers)",
                           DurationWithUnit(thread_time, options.seconds).c_str());
  }
  if (run->combined) {
    timetree::AppendFormat(head, " (mean over the sources of each path), %ld sources",
                           run->sources);
    const std::string missing = timetree::combined::MissingRanks(*run);
    if (!missing.empty()) head += " " + missing;
  } else if (!run->threads.empty()) {
    // Every thread that timed, finished ones folded into an entry counted
    // each, as the metadata's "threads" counts them.
    long threads = 0;
    for (const auto& thread : run->threads) threads += thread->threads;
    timetree::AppendFormat(head, ", %ld thread%s", threads, threads == 1 ? "" : "s");
  }
  out << head << "\n" << CostLine(*run);
  if (!options.series.empty()) {
    for (const auto* node : timers) {
      WriteSeries(*node, options.slowest, options.columns, options.seconds, out);
    }
    return 0;
  }
  // The metadata (a combined file's: what every source agrees on).
  if (!options.no_metadata) {
    for (const auto& entry : run->metadata) {
      out << "  " << Display(entry.first) << ": " << Display(entry.second) << "\n";
    }
  }
  WriteSharesNote(WriteTable(run->root, run->combined, whole, options, out), out);
  if (run->combined) {
    out << "(src): the source (file or rank, counted from 0) of the least and the greatest "
           "total; STDDEV: of the sources' totals; IMBALANCE: MAX / MEAN; ?: stopped "
           "implicitly\n";
    if (ExtrasOf(run->root).intervals) {
      out << "LONGEST: the longest single interval in any source, and its source\n";
    }
  }
  if (!options.threads) return 0;
  if (run->threads.empty()) {
    err << "timetree: " << run->file << ": no per-thread trees in this file\n";
    return 0;
  }
  for (const auto& thread : run->threads) {
    std::string title;
    timetree::AppendFormat(title, "\nthread %ld \"%s\"%s", thread->tid,
                           Display(thread->name).c_str(), thread->finished ? ", finished" : "");
    if (thread->threads > 1) {
      timetree::AppendFormat(title, " (%ld finished threads folded)", thread->threads);
    }
    out << title << ":\n";
    // Shares of the run's wall time, as above: a thread whose timers nest
    // under another thread's path has no top-level time of its own.
    WriteSharesNote(WriteTable(thread->root, false, whole, options, out, true), out);
  }
  return 0;
}

Subcommand AddShow(CLI::App& app) {
  auto options = std::make_shared<ShowOptions>();
  ShowOptions& show = *options;
  auto* show_cmd = app.add_subcommand("show", "The run as an indented table: count, total, "
                                              "self, mean per start and share of the run "
                                              "per timer.");
  show_cmd->add_option("RUN.json", show.run, "The run (or combined file)")->required();
  show_cmd->add_option("--min-share", show.min_share,
                       "Hide timers below PCT percent of the whole run (with what is under them)")
      ->check(kZeroOrMore);
  show_cmd->add_flag("--threads", show.threads, "Also show each thread's own tree");
  show_cmd->add_flag("--all", show.all,
                     "With --threads, also the rows of a path a thread adopted (count 0), "
                     "which are otherwise left out, their names carried by the rows under them");
  show_cmd->add_flag("--no-metadata", show.no_metadata,
                     "Leave out the run's metadata (program, host, times, ...) under the "
                     "first line");
  show_cmd->add_option("--sort", show.sort,
                       "Order siblings by 'total', 'self', 'count' (largest first) or 'name'; "
                       "the order of first starts without it")
      ->check(CLI::IsMember({"total", "self", "count", "name"}));
  show_cmd->add_option("--depth", show.depth, "Show N levels of the tree")->check(kOneOrMore);
  show_cmd->add_flag("--wide", show.wide,
                     "Names whole, however long (without it a name too long for the "
                     "terminal, or COLUMNS, is shortened in its middle)");
  show_cmd->add_option("--width", show.width,
                       "Fit the lines into N columns, as on a terminal of that width (0: names "
                       "whole); a terminal's own width without it, names whole in a file or pipe")
      ->check(CLI::NonNegativeNumber);
  show_cmd->add_flag("--seconds", show.seconds,
                     "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  show_cmd->add_option("--series", show.series,
                       "Instead of the table, the series of the timer NAME (the step of a loop "
                       "run with TIMETREE_SERIES=NAME): its slowest steps, the children that "
                       "took their time, and a line of the whole series");
  show_cmd->add_option("--slowest", show.slowest, "With --series, list N steps (5)")
      ->check(kOneOrMore);
  show_cmd->footer("Example: timetree show run.json --min-share 1 --sort total --depth 3");
  return {show_cmd, [options] {
    ShowOptions& show = *options;
    show.columns = show.width >= 0 ? static_cast<size_t>(show.width) : OutputColumns();
    return Show(show, std::cout, std::cerr);
  }};
}

}  // namespace timetree_cli
