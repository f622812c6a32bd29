// (sibling/: the name of the utility library this folder stands in for, kept.)
// Debug switches, read from the environment anew at every call.
#ifndef TIMETREE_SIBLING_SWITCHES_H
#define TIMETREE_SIBLING_SWITCHES_H

namespace timetree {

// The value of one switch text: unset or empty 0; a decimal integer that
// integer (clamped to the int range); on/true/yes 1 and off/false/no 0 in any
// case; any other text 1. Surrounding blanks are ignored.
int ParseSwitchValue(const char* text);

// The current state of the environment variable name; the second argument
// is unused and always 0.
int CheckDebugRegEntry(const char* name, int unused);

// Reads switch name into *out and returns it.
int ReadSwitch(const char* name, int* out);

// Whether switch name is unset or empty: the state in which a host that
// times sees nothing and has chosen nothing.
bool SwitchUnset(const char* name);

}  // namespace timetree

#endif  // TIMETREE_SIBLING_SWITCHES_H
