# Every third-party package the project uses, found once. scripts/install-deps.sh installs them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets PrintSupport Multimedia)
find_package(OpenSSL 3 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
# The crash report format's bindings: protoc-c generates them, protobuf-c decodes with them.
pkg_check_modules(PROTOBUFC REQUIRED IMPORTED_TARGET libprotobuf-c)
find_program(PROTOC_C_EXECUTABLE protoc-c REQUIRED)
# Voice attachments: Ogg Opus decoded by opusfile, audio exported to MPEG-4 by FFmpeg.
pkg_check_modules(OPUSFILE REQUIRED IMPORTED_TARGET opusfile)
pkg_check_modules(LIBAV REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample)

set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC OFF)
set(CMAKE_AUTORCC ON)
