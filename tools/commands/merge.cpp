// timetree merge: many runs into the combined format, or many timelines
// (the parts of a killed MPI job's ranks, say) into one.
#include <cerrno>
#include <cmath>
#include <iostream>
#include <iterator>
#include <map>
#include <set>

#include "runformat/text.h"
#include "runformat/files.h"

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "lib/run.h"
#include "lib/timeline.h"

namespace timetree_cli {

namespace {

struct MergeOptions {
  std::vector<std::string> runs;
  std::string output;
};

}  // namespace

namespace {

// A combined run that its own reader would refuse is never written: a sum
// of seconds above what a file may hold, or a count past 2^53, which a
// double no longer holds exactly.
void ExpectReadable(const Run& run) {
  Preorder(run.root, [&](const Node& node, int) {
    const char* what = nullptr;
    if (!(node.total.sum <= kMostSeconds)) what = "total seconds";
    if (!(node.self.sum <= kMostSeconds)) what = "self seconds";
    if (what != nullptr) {
      throw InputError("merge: the sum of the " + std::string(what) + " of \"" +
                       FoldedPath(node) + "\" is more than 1e15 seconds, more than a file may "
                       "hold; nothing written");
    }
    if (node.count.sum > 9007199254740992.0) {
      throw InputError("merge: the sum of the count of \"" + FoldedPath(node) +
                       "\" is too large to be held exactly; nothing written");
    }
    return true;
  });
}

// Where every source is a rank of one job (its metadata gives "rank", each
// another: a killed job's parts), the sources are numbered in rank order,
// whatever the order of the files given, so that "(src)" is the rank when
// every rank is there (merge says which are missing otherwise).
void NumberSourcesByRank(Run& run) {
  std::vector<long> rank_of;
  std::set<long> seen;
  for (const auto& metadata : run.source_metadata) {
    const long rank = timetree::combined::MetadataRank(metadata);
    if (rank < 0 || !seen.insert(rank).second) return;
    rank_of.push_back(rank);
  }
  if (rank_of.empty() || static_cast<long>(rank_of.size()) != run.sources) return;
  // A source's number is its rank's place among the ranks there are (the
  // rank itself when none is missing), and the sources' metadata follows.
  std::vector<long> place(rank_of.size());
  for (size_t i = 0; i < rank_of.size(); ++i) {
    place[i] = static_cast<long>(std::distance(seen.begin(), seen.find(rank_of[i])));
  }
  std::vector<timetree::combined::Metadata> ordered(run.source_metadata.size());
  for (size_t i = 0; i < place.size(); ++i) ordered[place[i]] = run.source_metadata[i];
  run.source_metadata = std::move(ordered);
  auto renumber = [&place](long& source) {
    if (source >= 0 && static_cast<size_t>(source) < place.size()) source = place[source];
  };
  Preorder(run.root, [&](const Node& shown, int) {
    Node& node = const_cast<Node&>(shown);
    for (Figure* f : {&node.count, &node.total, &node.self, &node.intervals}) {
      renumber(f->min_source);
      renumber(f->max_source);
    }
    return true;
  });
}

// A time in microseconds, exactly: in units of 1/1024 when it is a whole
// number of them (as the library writes times), else as its double.
void AppendTime(std::string& out, double micros) {
  const double units = micros * 1024;
  if (units == std::floor(units) && std::fabs(units) < 9007199254740992.0) {
    timetree::AppendMicros(out, static_cast<int64_t>(units));
  } else {
    timetree::AppendFormat(out, "%.17g", micros);
  }
}

void AppendText(std::string& out, const std::string& text) {
  out += '"';
  timetree::AppendJsonString(out, text.c_str());
  out += '"';
}

// The timelines of several processes in one file: each file's lanes as
// they are, moved in time so that every file counts from the earliest
// file's start, by the real-time clock that each file gives for its start
// (on one host exact; across hosts as close as their clocks agree).
std::string MergedTimeline(const std::vector<Timeline>& timelines) {
  std::map<long long, const std::string*> owners;  // pid: the file that has it
  for (const Timeline& t : timelines) {
    std::set<long long> own;
    for (const Lane& lane : t.lanes) own.insert(lane.pid);
    for (long long pid : own) {
      const auto found = owners.emplace(pid, &t.file);
      if (!found.second) {
        throw InputError(*found.first->second + " and " + t.file + " both hold process " +
                         std::to_string(pid) + ": their timelines cannot be told apart");
      }
    }
  }
  bool aligned = true;
  long long origin = 0;
  for (const Timeline& t : timelines) {
    if (!t.has_origin) {
      aligned = false;
      std::cerr << "timetree: " << t.file
                << ": no \"clock_origin_unix_ns\" in its otherData: its times are taken as "
                   "they are, not lined up with the other files'\n";
    } else if (&t == &timelines.front() || t.origin_unix_ns < origin) {
      origin = t.origin_unix_ns;
    }
  }
  std::string out = "{\"displayTimeUnit\": \"ns\", \"traceEvents\": [";
  const char* comma = "\n";
  uint64_t events = 0;
  std::set<long long> named;
  for (const Timeline& t : timelines) {
    // A whole number of units, so that every time stays exact.
    const double shift =
        aligned ? static_cast<double>(std::llround(static_cast<double>(t.origin_unix_ns - origin) *
                                                   1.024)) / 1024
                : 0.0;
    for (const Lane& lane : t.lanes) {
      if (!lane.process.empty() && named.insert(lane.pid).second) {
        timetree::AppendFormat(out, "%s{\"ph\": \"M\", \"name\": \"process_name\", \"pid\": %lld, "
                                    "\"tid\": 0, \"args\": {\"name\": ",
                               comma, lane.pid);
        AppendText(out, lane.process);
        out += "}}";
        comma = ",\n";
      }
      timetree::AppendFormat(out, "%s{\"ph\": \"M\", \"name\": \"thread_name\", \"pid\": %lld, "
                                  "\"tid\": %lld, \"args\": {\"name\": ",
                             comma, lane.pid, lane.tid);
      comma = ",\n";
      AppendText(out, lane.thread);
      timetree::AppendFormat(out, ", \"events\": %zu, \"dropped\": %llu}}", lane.events.size(),
                             static_cast<unsigned long long>(lane.dropped));
      for (const LaneEvent& e : lane.events) {
        out += ",\n{\"ph\": \"X\", \"name\": ";
        AppendText(out, t.names[e.name]);
        timetree::AppendFormat(out, ", \"pid\": %lld, \"tid\": %lld, \"ts\": ", lane.pid,
                               lane.tid);
        AppendTime(out, e.ts + shift);
        out += ", \"dur\": ";
        AppendTime(out, e.dur);
        out += e.running    ? ", \"args\": {\"running\": true}}"
               : e.implicit ? ", \"args\": {\"stopped_implicitly\": true}}"
                            : "}";
      }
      events += lane.events.size();
    }
  }
  timetree::AppendFormat(out, "\n], \"otherData\": {\"merged_files\": %zu, \"events\": %llu",
                         timelines.size(), static_cast<unsigned long long>(events));
  if (aligned) timetree::AppendFormat(out, ", \"clock_origin_unix_ns\": %lld", origin);
  out += "}";
  std::vector<timetree::combined::Metadata> metadata;
  for (const Timeline& t : timelines) metadata.push_back(t.metadata);
  const timetree::combined::Metadata agreed = timetree::combined::AgreedMetadata(metadata);
  if (!agreed.empty()) {
    out += ", \"metadata\": ";
    timetree::combined::AppendMetadataObject(out, agreed);
  }
  out += "}\n";
  return out;
}

}  // namespace

int Merge(const MergeOptions& options) {
  size_t timelines = 0;
  for (const auto& path : options.runs) timelines += IsTimeline(path) ? 1 : 0;
  if (timelines != 0) {
    if (timelines != options.runs.size()) {
      throw InputError("merge: the files mix timelines and runs: merge each kind on its own");
    }
    std::vector<Timeline> read;
    for (const auto& path : options.runs) read.push_back(ReadTimeline(path));
    WriteFile(options.output, MergedTimeline(read));
    return 0;
  }
  std::vector<std::unique_ptr<Run>> runs;
  for (const auto& path : options.runs) runs.push_back(ReadRun(path));
  const auto combined = Combine(runs);
  NumberSourcesByRank(*combined);
  ExpectReadable(*combined);
  WriteFile(options.output, CombinedJson(*combined));
  const std::string missing = timetree::combined::MissingRanks(*combined);
  if (!missing.empty()) {
    std::cerr << "timetree: merge: "
              << (combined->sources == 1 ? std::string("the 1 source is a rank ")
                                         : "the " + std::to_string(combined->sources) +
                                               " sources are ranks ")
              << missing
              << " (their files were not written, or not given): the means are over the ranks "
                 "there are\n";
  }
  return 0;
}

Subcommand AddMerge(CLI::App& app) {
  auto options = std::make_shared<MergeOptions>();
  MergeOptions& merge = *options;
  auto* merge_cmd = app.add_subcommand(
      "merge", "Runs (single or combined, in any mix) into one combined file: per path the "
               "sources that have it, and the sum, mean, min and max with the source of each. "
               "Timelines into one timeline, each file's processes lined up by the clock it "
               "gives.");
  merge_cmd->add_option("RUN.json", merge.runs, "The runs (or timelines), in source order")
      ->required();
  merge_cmd->add_option("-o,--output", merge.output, "The file to write; - for standard output")
      ->required();
  merge_cmd->footer("Example: timetree merge rank0.json rank1.json rank2.json -o all.json\n"
                    "         timetree merge trace.rank-*.json -o trace.json");
  return {merge_cmd, [options] {
    const MergeOptions& merge = *options;
    return Merge(merge);
  }};
}

}  // namespace timetree_cli
