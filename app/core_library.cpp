// The shared core library has no code of its own: it is made of the core's
// static parts, whole (see app/CMakeLists.txt). CMake wants a source file.
