// The flat and the indented timing report.
#include "registry/reports.h"

#include <cstring>
#include <string>

#include "include/timetree.h"
#include "registry/dtimemgr.h"
#include "registry/snapshot.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"
#include "registry/nameindex.h"
#include "registry/walk.h"

namespace timetree {

namespace {

constexpr char kHeaderFormat[] = "%-30s | %6s | %17s | %17s\n";
// Counts are 64-bit: below 2^31 the row is what "%6d" gives, past it the
// column grows.
constexpr char kRowFormat[] = "%-30s | %6lld | %17lf | %17lf\n";
constexpr char kWarning[] = "Warning:  some timers are still running\n";
// Indentation stops growing once the label is this long.
constexpr size_t kIndentLimit = 90;
constexpr size_t kMaxUnitLength = 7;

void WriteWarningAndHeader(const Snapshot& snapshot) {
  if (snapshot.running()) TimeComment(kWarning);
  TimeComment("\n");
  CommentF(kHeaderFormat, "LABEL", "COUNT", "TOTAL", "AVERAGE");
}

}  // namespace

bool MergeInto(TimerNode& node, PtrList& flat) {
  // The flat list is found in through the same name index as a wide list of
  // timers, so that the report takes time in proportion to the timers, not
  // to timers times names; the list keeps the order of first meeting.
  if (TimerNode* record = FindTimer(flat, KeyOf(node))) {
    StopWatchAccess::AddInto(record->watch, node.watch);
    record->count += LoadRelaxed(node.count);
    return true;
  }
  TimerNode* record = TimerNode::Create(AllocSite::kFlatRecord);
  if (record == nullptr) return false;
  if (!record->CopyName(node)) {
    delete record;
    return false;
  }
  record->count = LoadRelaxed(node.count);
  StopWatchAccess::Elapsed(record->watch) = StopWatchAccess::Elapsed(node.watch);
  record->owner = &flat;
  record->slot = AddTimer(flat, record);
  if (record->slot == nullptr) {
    delete record;
    return false;
  }
  return true;
}

void PrintRow(TimerNode& node, int depth, int* implicit_seen,
              const char* unit) {
  if (unit == nullptr || unit[0] == '\0' ||
      std::strlen(unit) > kMaxUnitLength) {
    unit = ".";
  }
  const size_t unit_length = std::strlen(unit);

  // At most 89 + 7 indentation characters and a 25-character name; a timer
  // known by its whole name has its row widened by the rest.
  const char* name = node.ReportName();
  const size_t name_size = std::strlen(name) + 1;
  char stack_label[kIndentLimit + kMaxUnitLength + kNameSize];
  std::string long_label;
  char* label = stack_label;
  if (name_size > kNameSize) {
    long_label.resize(kIndentLimit + kMaxUnitLength + name_size);
    label = &long_label[0];
  }
  size_t length = 0;
  for (int i = 0; i < depth && length < kIndentLimit; ++i) {
    std::memcpy(label + length, unit, unit_length);
    length += unit_length;
  }
  if (depth >= 0 && length > 0 && node.stoppedImplicitly != 0) {
    label[0] = '?';
    if (implicit_seen != nullptr) *implicit_seen = 1;
  }
  std::memcpy(label + length, name, name_size);  // name is terminated

  const double seconds = node.watch.GetElapsedTime();
  const int64_t count = LoadRelaxed(node.count);
  const double average = count != 0 ? seconds / static_cast<double>(count) : 0.0;
  CommentF(kRowFormat, label, static_cast<long long>(count), seconds, average);
}

}  // namespace timetree

// Both reports cover every thread's timers, merged by path, and hold the
// channels throughout, so that no other text interleaves with their rows.
void TimePrint() {
  const timetree::Snapshot snapshot;
  if (snapshot.top() == nullptr) return;
  const timetree::ChannelLock whole_report;
  timetree::WriteWarningAndHeader(snapshot);
  timetree::PtrList flat;
  timetree::WalkPreorder(*snapshot.top(), [&flat](timetree::TimerNode* node, int) {
    // A timer whose record could not be had is left out with its subtree.
    return timetree::MergeInto(*node, flat);
  });
  for (timetree::PtrListNode* p = flat.head(); p != nullptr; p = p->next) {
    timetree::PrintRow(*static_cast<timetree::TimerNode*>(p->data), -1,
                       nullptr, nullptr);
  }
  timetree::DestroyTimers(flat, nullptr);
}

void TimePrintIndented(const char* unit) {
  const timetree::Snapshot snapshot;
  if (snapshot.top() == nullptr) return;
  const timetree::ChannelLock whole_report;
  int implicit_seen = 0;
  timetree::WriteWarningAndHeader(snapshot);
  timetree::WalkPreorder(*snapshot.top(), [&](timetree::TimerNode* node, int depth) {
    timetree::PrintRow(*node, depth, &implicit_seen, unit);
    return true;
  });
  if (implicit_seen != 0) {
    TimeComment("\nTimers with ? were stopped implicitly\n");
    TimeComment(
        "This is usually due to an early return which avoided the "
        "_time_stop\n");
  }
}
