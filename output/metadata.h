// A run's metadata: keys the library collects (program, host, times, clock,
// ...), keys from TIMETREE_META_<KEY> variables and keys the host sets with
// TimeSetMetadata, written as the JSON's "metadata" object.
#ifndef TIMETREE_OUTPUT_METADATA_H
#define TIMETREE_OUTPUT_METADATA_H

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace timetree {

// When the library was loaded.
time_t LoadTime();

// Appends ", \"metadata\": {...}" with every key; threads is how many
// threads timed, pairs how many timer pairs they made (the counts summed).
void AppendMetadataJson(std::string& out, long threads, int64_t pairs);

// The same keys and values, numbers as their text.
std::vector<std::pair<std::string, std::string>> RunMetadata(long threads, int64_t pairs);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_METADATA_H
