#include "extract/StatusLog.h"

#include <cstdio>

namespace vindral {

bool StatusLog::Save(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "wt");
    if (file == nullptr) {
        return false;
    }
    bool ok = true;
    for (const std::string& line : lines_) {
        ok = std::fprintf(file, "%s\n", line.c_str()) >= 0 && ok;
    }
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

} // namespace vindral
