// The two workers of a run. Each reads everything it needs from the run,
// reports every step through the channel and ends itself; neither touches
// the run after its last message.
#pragma once

#include <memory>

#include "extract/ExtractRun.h"
#include "extract/ProgressChannel.h"

namespace vindral {

// Copies the current track into the current WAV file.
void ExtractWorker(std::shared_ptr<ExtractRun> run, ProgressChannel& channel);

// Reads the current track a second time and compares it with the file, or,
// without compare-with-file, checks the drive's C2 error pointers.
void VerifyWorker(std::shared_ptr<ExtractRun> run, ProgressChannel& channel);

// Writes one buffer load to the run's output file; false when the write failed.
bool WriteBufferLoad(ExtractRun& run, const uint8_t* data);

} // namespace vindral
