# Run at build time (cmake -P): writes CHANGELOG.md as a Debian change log,
# the form Debian expects in /usr/share/doc/<package>/changelog.gz of a
# native package, one entry per version:
#
#   parallel-labs (1.4.0) unstable; urgency=medium
#
#     <the version's text, indented; "- " items as "  * ">
#
#    -- <maintainer>  Tue, 08 Dec 2026 01:00:00 +0000
#
# Every version heading of CHANGELOG.md reads "## X.Y.Z (YYYY-MM-DD)", its
# release date; the text before the first heading (the file's own
# introduction) is left out.
#
# Expects INPUT, OUTPUT, PACKAGE_NAME and MAINTAINER.

# rfc5322_date(Y M D OUT): "Tue, 08 Dec 2026", the date as Debian's
# change log writes it (RFC 5322), the weekday by Sakamoto's method.
function(rfc5322_date y m d out)
  set(_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR _index "${m} - 1")
  list(GET _offsets ${_index} _offset)
  set(_year ${y})
  if(m LESS 3)
    math(EXPR _year "${y} - 1")
  endif()
  math(EXPR _weekday "(${_year} + ${_year} / 4 - ${_year} / 100 + ${_year} / 400 + ${_offset} + ${d}) % 7")
  set(_days Sun Mon Tue Wed Thu Fri Sat)
  set(_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET _days ${_weekday} _day)
  list(GET _months ${_index} _month)
  set(${out} "${_day}, ${d} ${_month} ${y}" PARENT_SCOPE)
endfunction()

# Lines as a list: the characters that CMake's lists treat specially
# (";" and square brackets) stand in for themselves as placeholders while
# the lines are a list.
file(READ "${INPUT}" _text)
string(REPLACE ";" "@SEMICOLON@" _text "${_text}")
string(REPLACE "[" "@OPEN@" _text "${_text}")
string(REPLACE "]" "@CLOSE@" _text "${_text}")
string(REGEX REPLACE "\n$" "" _text "${_text}")
string(REPLACE "\n" ";" _lines "${_text}")
# The release dates, newest first. Debian wants each entry dated after the
# one below it: of the versions released on one day the oldest is dated
# 00:00, each newer one an hour later.
set(_dates "")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^## [0-9.]+ \\(([0-9-]+)\\)$")
    list(APPEND _dates "${CMAKE_MATCH_1}")
  endif()
endforeach()
# hour_of_entry(INDEX OUT): "HH", how many older entries share its date.
function(hour_of_entry index out)
  list(GET _dates ${index} _day)
  list(LENGTH _dates _count)
  set(_hour 0)
  math(EXPR _next "${index} + 1")
  if(_next LESS _count)
    foreach(_older RANGE ${_next} ${_count})
      if(_older LESS _count)
        list(GET _dates ${_older} _older_day)
        if(_older_day STREQUAL _day)
          math(EXPR _hour "${_hour} + 1")
        endif()
      endif()
    endforeach()
  endif()
  if(_hour LESS 10)
    set(_hour "0${_hour}")
  endif()
  set(${out} "${_hour}" PARENT_SCOPE)
endfunction()

set(_out "")
set(_index -1)      # the index of the entry being written in _dates
set(_entry "")      # the version of the entry being written, if any
set(_trailer "")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^## ")
    if(NOT _line MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
      message(FATAL_ERROR "${INPUT}: a version heading must read '## X.Y.Z (YYYY-MM-DD)': ${_line}")
    endif()
    set(_version "${CMAKE_MATCH_1}")
    rfc5322_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} _date)
    math(EXPR _index "${_index} + 1")
    hour_of_entry(${_index} _hour)
    if(_entry)
      string(APPEND _out "\n${_trailer}\n\n")
    endif()
    string(APPEND _out "${PACKAGE_NAME} (${_version}) unstable; urgency=medium\n")
    set(_entry "${_version}")
    set(_trailer " -- ${MAINTAINER}  ${_date} ${_hour}:00:00 +0000")
  elseif(_entry)
    # Markdown's "- " items become the change log's "* " items; every text
    # line is indented by two blanks, as the format requires.
    if(_line MATCHES "^- (.*)$")
      set(_line "* ${CMAKE_MATCH_1}")
    endif()
    if(_line STREQUAL "")
      string(APPEND _out "\n")
    else()
      string(APPEND _out "  ${_line}\n")
    endif()
  endif()
endforeach()
if(NOT _entry)
  message(FATAL_ERROR "${INPUT}: no version heading '## X.Y.Z (YYYY-MM-DD)'")
endif()
# No blank lines before a trailer, one between entries.
string(REGEX REPLACE "\n\n+ -- " "\n\n -- " _out "${_out}")
string(APPEND _out "\n${_trailer}\n")
string(REPLACE "@SEMICOLON@" ";" _out "${_out}")
string(REPLACE "@OPEN@" "[" _out "${_out}")
string(REPLACE "@CLOSE@" "]" _out "${_out}")
file(WRITE "${OUTPUT}" "${_out}")
