/* The one export macro of timetree's public headers. The library is built
 * with hidden visibility, so only what carries this macro is visible to
 * hosts. A C header: the C interface includes it too. */
#ifndef TIMETREE_EXPORT_H
#define TIMETREE_EXPORT_H

#ifndef TIMETREE_API
#define TIMETREE_API __attribute__((visibility("default")))
#endif

#endif /* TIMETREE_EXPORT_H */
