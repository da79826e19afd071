// Stands in for the disk tool in the wine tests of the front end's follow-up,
// which needs runs that succeed on a drive wine cannot format. It appends
// its command line to C:\qxtest\standin.log, then:
//   - when C:\qxtest\standin.fail names its command (format, clear, load,
//     volume-id),
//     prints the disk tool's kind of error message and exits with status 1;
//   - when C:\qxtest\standin.sleep exists and the command is format, waits
//     that many milliseconds first (a run that takes a while);
//   - else exits with status 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string ReadSmall(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return std::string();
    char buf[64] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    if (FILE *log = std::fopen("C:\\qxtest\\standin.log", "ab")) {
        std::fprintf(log, "%s\n", GetCommandLineA());
        std::fclose(log);
    }
    const std::string command = argc > 2 ? argv[2] : "";
    std::string sleep = ReadSmall("C:\\qxtest\\standin.sleep");
    if (command == "format" && !sleep.empty())
        Sleep(DWORD(std::atoi(sleep.c_str())));
    if (!command.empty() && ReadSmall("C:\\qxtest\\standin.fail") == command) {
        std::fprintf(stderr, "qxtool: error: stand-in %s fails\n", command.c_str());
        return 1;
    }
    return 0;
}
