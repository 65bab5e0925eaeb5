// The status log of a run: its lines in the order they were added.
#pragma once

#include <string>
#include <vector>

namespace vindral {

class StatusLog {
public:
    void Add(std::string line) { lines_.push_back(std::move(line)); }
    int Count() const { return static_cast<int>(lines_.size()); }
    const std::vector<std::string>& Lines() const { return lines_; }

    // Writes every line, each ended by one line end, to `path`: complete or
    // not at all (a file that stood there stays as it was on failure).
    // False when it cannot be written; `error` then gets "<path>: <reason>".
    bool Save(const std::string& path, std::string* error = nullptr) const;

private:
    std::vector<std::string> lines_;
};

} // namespace vindral
