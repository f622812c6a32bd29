# Writes the manual page of the timetree command from its own --help and
# that of each subcommand, so that the page always covers every option.
#   cmake -DTOOL=path/to/timetree -DVERSION=x.y.z -DOUT=timetree.1 -P manpage.cmake
set(subcommands show diff check merge flame folded html)

# Help text as roff: shown as it is, without filling.
function(help_roff out)
  execute_process(COMMAND ${TOOL} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE text)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${ARGN} failed")
  endif()
  string(REPLACE "\\" "\\e" text "${text}")
  # A line that starts with a dot or a quote is text, not a request.
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

help_roff(top --help)
set(page ".TH TIMETREE 1 \"\" \"timetree ${VERSION}\" \"User Commands\"
.SH NAME
timetree \\- show, compare, gate, merge and draw timetree runs
.SH SYNOPSIS
.B timetree
\\fISUBCOMMAND\\fR [\\fIOPTIONS\\fR] \\fIFILES\\fR
.br
.B timetree
\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR
.SH DESCRIPTION
${top}.SH SUBCOMMANDS
")
foreach(sub ${subcommands})
  help_roff(text ${sub} --help)
  string(APPEND page ".SS ${sub}\n${text}")
endforeach()
string(APPEND page ".SH EXIT STATUS
0 all holds; 1 a limit exceeded (or, with \\fBdiff \\-\\-exit\\-code\\fR, a difference);
2 trouble: bad input, a file that cannot be read or written, a standard output
that cannot be written.
.SH SEE ALSO
The README of timetree, which describes the library, its JSON and the
combined format.
")
file(WRITE ${OUT} "${page}")
