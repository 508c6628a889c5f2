# Writes IN to OUT with CRLF line ends, as Windows editors expect, and with
# the version put in for @PROJECT_VERSION@.
#   cmake -DIN=... -DOUT=... -DVERSION=... -P crlf.cmake
file(READ ${IN} text)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" text "${text}")
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
