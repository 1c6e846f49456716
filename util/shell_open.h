#pragma once
#include <string>

namespace kalvex {

// Opens a document, folder or web address with the desktop's default
// application; true on success. A relative file name is taken relative to
// directory (the current folder when empty). Desktop launchers take no
// arguments, so a non-empty parameters text makes an executable file be
// started with it instead. Needs a QGuiApplication. Lives in kalvex_util_gui
// so that kalvex_util stays free of Qt GUI.
bool ShellOpen(const std::string& file, const std::string& parameters = {}, const std::string& directory = {});

}  // namespace kalvex
