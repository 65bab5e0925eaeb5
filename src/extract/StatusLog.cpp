#include "extract/StatusLog.h"

#include "platform/OutputFile.h"

namespace vindral {

bool StatusLog::Save(const std::string& path, std::string* error) const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
#if defined(_WIN32)
        text += "\r\n"; // as a text-mode stream writes it there
#else
        text += '\n';
#endif
    }
    std::string reason;
    const bool ok = platform::WriteWholeFile(path, text, reason);
    if (error != nullptr) {
        *error = reason;
    }
    return ok;
}

} // namespace vindral
