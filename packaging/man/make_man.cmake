# make_man.cmake - writes a section 1 manual page from a program's --help
# output (every subcommand's too, found in its "Subcommands:" list) between
# hand-written roff sections.
#
#   cmake -DNAME=tavni-ctl -DSUMMARY="..." -DVERSION=1.0 -DOUT=tavni-ctl.1
#         -DPROGRAM=/path/to/tavni-ctl
#         [-DINTRO=intro.roff] [-DEXTRA=file.roff] -P make_man.cmake
# INTRO comes right after NAME, EXTRA at the end.
# A program that fails or prints nothing fails the build: a page that
# silently lost its options would be worse than none.

foreach(v NAME SUMMARY VERSION OUT PROGRAM)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "make_man.cmake: ${v} is not set")
  endif()
endforeach()

# Roff reads a backslash as an escape and a line that starts with "." or "'"
# as a request; "-" would print as a hyphen in options.
function(roff_escape text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The help text of PROGRAM with the given subcommand words, the program's own
# path shown as its bare name.
function(help_of words out)
  execute_process(COMMAND ${PROGRAM} ${words} --help
    RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "make_man.cmake: '${PROGRAM} ${words} --help' failed (${rc}): ${err}")
  endif()
  string(REPLACE "${PROGRAM}" "${NAME}" text "${text}")
  if(NOT text MATCHES "\n$")
    string(APPEND text "\n")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Appends a subsection per command below words (depth first, in the order
# the help lists them).
set(page_commands "")
function(walk words)
  help_of("${words}" text)
  string(REPLACE ";" " " title "${NAME} ${words}")
  string(STRIP "${title}" title)
  roff_escape("${title}" title)
  roff_escape("${text}" esc)
  string(APPEND page_commands ".SS \"${title}\"\n.nf\n${esc}.fi\n")
  set(page_commands "${page_commands}" PARENT_SCOPE)
  # CLI11 lists subcommands one per line, indented, below "Subcommands:".
  string(FIND "${text}" "\nSubcommands:\n" at)
  if(at EQUAL -1)
    return()
  endif()
  math(EXPR at "${at} + 14")
  string(SUBSTRING "${text}" ${at} -1 rest)
  string(REGEX REPLACE "\n\n.*" "" rest "${rest}")
  string(REPLACE "\n" ";" lines "${rest}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^  ([A-Za-z0-9_-]+)")
      set(sub ${words} ${CMAKE_MATCH_1})
      walk("${sub}")
      set(page_commands "${page_commands}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

string(TOUPPER "${NAME}" upper)
roff_escape("${NAME}" name_esc)
roff_escape("${SUMMARY}" summary_esc)
set(page ".\\\" Generated from the program's help text; do not edit.\n")
string(APPEND page ".TH ${upper} 1 \"\" \"tavni ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${name_esc} \\- ${summary_esc}\n")

if(DEFINED INTRO AND NOT INTRO STREQUAL "")
  file(READ "${INTRO}" intro)
  string(APPEND page "${intro}")
endif()

walk("")
string(APPEND page ".SH COMMANDS\n${page_commands}")

if(DEFINED EXTRA AND NOT EXTRA STREQUAL "")
  file(READ "${EXTRA}" extra)
  string(APPEND page "${extra}")
endif()

# Written under a temporary name and renamed: an interrupted build never
# leaves half a page that looks up to date.
file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
