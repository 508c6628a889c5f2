# The native x86-64 build, with the processor named as FreeBSD, OpenBSD and
# NetBSD name it ("amd64"): what is built must not depend on that name.
set(CMAKE_SYSTEM_PROCESSOR amd64)
