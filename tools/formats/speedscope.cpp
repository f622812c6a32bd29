#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "runformat/text.h"

namespace timetree_cli {

// speedscope's file format: the frames shared by every profile, then one
// sampled profile per thread (or one of the whole run): a sample per timer
// with self time, its stack the timer's path, weighed in nanoseconds.
std::string Speedscope(const Run& run) {
  std::map<std::string, long> frames;
  std::string shared;
  auto frame = [&](const std::string& name) {
    const auto found = frames.find(name);
    if (found != frames.end()) return found->second;
    const long index = static_cast<long>(frames.size());
    frames.emplace(name, index);
    shared += index == 0 ? "\n" : ",\n";
    shared += "{\"name\": ";
    AppendQuoted(shared, name);
    shared += "}";
    return index;
  };
  std::string profiles;
  auto profile = [&](const Node& root, const std::string& name) {
    std::string samples, weights;
    std::vector<long> stack;
    double end = 0;
    auto add = [&](double self_ns) {
      if (self_ns <= 0) return;
      samples += samples.empty() ? "[" : ", [";
      for (size_t i = 0; i < stack.size(); ++i) {
        timetree::AppendFormat(samples, "%s%ld", i == 0 ? "" : ", ", stack[i]);
      }
      samples += "]";
      timetree::AppendFormat(weights, "%s%.0f", weights.empty() ? "" : ", ", self_ns);
      end += self_ns;
    };
    Preorder(root, [&](const Node& node, int depth) {
      stack.resize(static_cast<size_t>(depth));
      stack.push_back(frame(node.name));
      add(std::round(node.MeanSelf() * 1e9));
      if (depth + 1 < kDeepest || node.children.empty()) return true;
      // The levels below, in one frame.
      double self = 0;
      Preorder(node, [&](const Node& below, int) {
        self += below.MeanSelf();
        return true;
      });
      stack.push_back(frame(kDeeper));
      add(std::round(self * 1e9));
      return false;
    });
    profiles += profiles.empty() ? "\n" : ",\n";
    profiles += "{\"type\": \"sampled\", \"name\": ";
    AppendQuoted(profiles, name);
    timetree::AppendFormat(profiles,
                           ", \"unit\": \"nanoseconds\", \"startValue\": 0, \"endValue\": %.0f, "
                           "\"samples\": [",
                           end);
    profiles += samples + "], \"weights\": [" + weights + "]}";
  };
  if (run.threads.empty()) {
    profile(run.root, run.combined ? "mean over the sources" : "run");
  } else {
    for (const auto& thread : run.threads) {
      std::string name;
      timetree::AppendFormat(name, "thread %ld \"%s\"", thread->tid, thread->name.c_str());
      profile(thread->root, name);
    }
  }
  std::string out =
      "{\"$schema\": \"https://www.speedscope.app/file-format-schema.json\", \"name\": ";
  AppendQuoted(out, run.file);
  out += ", \"exporter\": \"timetree " TIMETREE_VERSION "\", \"activeProfileIndex\": 0, "
         "\"shared\": {\"frames\": [" + shared + "\n]}, \"profiles\": [" + profiles + "\n]}\n";
  return out;
}

}  // namespace timetree_cli
