// Internal side of the timeline export (TimeWriteTrace in timetree.h).
#ifndef TIMETREE_OUTPUT_TIMELINE_EXPORT_H
#define TIMETREE_OUTPUT_TIMELINE_EXPORT_H

namespace timetree {

// The timeline file as TimeWriteTrace writes it, with pid as the process's
// number and process_name its name (null: the program's). Its "otherData"
// holds "clock_origin_unix_ns", the real-time clock at the timeline's
// start, by which 'timetree merge' lines up files of several processes.
bool WriteTimelineFile(const char* path, long pid, const char* process_name);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_TIMELINE_EXPORT_H
