// Opening a file that kelsrv was given to read (a users file, a record).
#ifndef KELSRV_INPUT_FILE_H
#define KELSRV_INPUT_FILE_H

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace kelsrv {

// Opens path for reading; false, with *error naming the file as what (e.g.
// "users file"), for a directory or a file that cannot be opened.
inline bool OpenInputFile(const std::string &path, const std::string &what, std::ifstream *in,
                          std::string *error) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        return *error = what + " " + path + " is a directory", false;
    errno = 0;
    in->open(path);
    if (*in) return true;
    *error = "cannot read " + what + " " + path + (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
}

}  // namespace kelsrv

#endif
