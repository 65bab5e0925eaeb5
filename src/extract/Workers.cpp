#include "extract/Workers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/Transport.h"
#include "extract/ReadAhead.h"
#include "extract/ReadOffset.h"
#include "extract/SecureReader.h"
#include "platform/Platform.h"

namespace vindral {

namespace {

int BlockCount(int32_t length) {
    if (length <= 0) {
        return 0;
    }
    return length / kBlockSectors + (length % kBlockSectors != 0 ? 1 : 0);
}

int BlockSectors(int32_t length, int block, int blocks) {
    if (block == blocks - 1 && length % kBlockSectors != 0) {
        return length % kBlockSectors;
    }
    return kBlockSectors;
}

// Gives up the pass's file (and its encoder's): only the temporary files go,
// never the final name.
void Discard(ExtractRun& run, platform::OutputFile& file, TrackEncoder* encoder = nullptr) {
    if (run.outputFile == &file) {
        run.outputFile = nullptr;
    }
    file.Discard();
    if (encoder != nullptr) {
        encoder->Discard();
    }
}

// Whether the last command failed on the disc (a medium or hardware error)
// rather than being refused.
bool DiscAtFault() {
    const int32_t key = (LastSenseCode() >> 16) & 0x0F;
    return key == 0x03 || key == 0x04;
}

// The drive as the secure reader reaches it: READ CD with C2 pointers where
// the drive delivers them (the run's read method otherwise), a region at the
// far end of the readable audio to empty the cache, and SET CD SPEED.
std::unique_ptr<SecureReader> MakeSecureReader(ExtractRun& run, bool readAhead = false) {
    SecureReader::Drive drive;
    auto c2Works = std::make_shared<bool>(run.readMethod == kReadCd && run.c2Pointers);
    // Sectors with their C2 bits arrive here before they are split; kept
    // between reads, so that each read does not clear a new buffer.
    auto raw = std::make_shared<std::vector<uint8_t>>();
    drive.read = [&run, c2Works, raw](SectorAddress address, int32_t count, uint8_t* audio,
                                      uint8_t* c2) -> int32_t {
        if (c2 != nullptr && *c2Works) {
            raw->resize(std::max(raw->size(), static_cast<std::size_t>(count) *
                                                  CdCommands::kSectorWithC2Bytes));
            const int32_t status =
                CdCommands::ReadCdWithC2(run.hostAdapter, run.target, address, count, raw->data());
            if (status == kStatusOk) {
                for (int32_t s = 0; s < count; ++s) {
                    const uint8_t* sector =
                        raw->data() + static_cast<std::size_t>(s) * CdCommands::kSectorWithC2Bytes;
                    std::memcpy(audio + static_cast<std::size_t>(s) * kSectorBytes, sector,
                                kSectorBytes);
                    std::memcpy(c2 + static_cast<std::size_t>(s) * CdCommands::kC2Bytes,
                                sector + kSectorBytes, CdCommands::kC2Bytes);
                }
                return status;
            }
            if (((LastSenseCode() >> 16) & 0x0F) != 0x05) {
                run.failedReadSense = LastSenseCode();
                return status; // a read error, not a refused request
            }
            *c2Works = false; // the drive has no C2 pointers
        }
        if (c2 != nullptr) {
            std::memset(c2, 0, static_cast<std::size_t>(count) * CdCommands::kC2Bytes);
        }
        const int32_t status = CdCommands::ReadAudio(run.hostAdapter, run.target, address,
                                                     count, audio, run.readMethod);
        if (status != kStatusOk) {
            run.failedReadSense = LastSenseCode();
        }
        return status;
    };
    if (readAhead) {
        auto ahead = std::make_shared<ReadAhead>(drive.read, run.readableEnd, *c2Works,
                                                 DiscAtFault, &run.longReadsRefused);
        drive.readFirst = [ahead](SectorAddress address, int32_t count, uint8_t* audio,
                                  uint8_t* c2) { return ahead->Read(address, count, audio, c2); };
    }
    drive.readElsewhere = [&run](SectorAddress address, int32_t count) {
        // The end of the readable audio farther from the block.
        const SectorAddress start = run.readableStart;
        const SectorAddress end = run.readableEnd;
        SectorAddress first = address - start > end - address ? start : end - count;
        first = std::max(first, start);
        // In the read-ahead's long commands where the drive takes them: the
        // cache is often larger than the track, and each command costs.
        int32_t step = run.longReadsRefused ? kBlockSectors : kReadAheadSectors;
        std::vector<uint8_t> scratch(static_cast<std::size_t>(step) * kSectorBytes);
        for (SectorAddress at = first; at < first + count && at < end;) {
            const int32_t n = std::min<int32_t>(step, end - at);
            const int32_t status = CdCommands::ReadAudio(run.hostAdapter, run.target, at, n,
                                                         scratch.data(), run.readMethod);
            if (status != kStatusOk && n > kBlockSectors && !DiscAtFault()) {
                run.longReadsRefused = true; // the same sectors again, a block at a time
                step = kBlockSectors;
                continue;
            }
            at += n;
        }
    };
    auto savedKBps = std::make_shared<int32_t>(0);
    drive.slowDown = [&run, savedKBps](bool slow) {
        if (slow) {
            int32_t maximum = 0;
            int32_t current = 0;
            CdCommands::SenseReadSpeeds(run.hostAdapter, run.target, &maximum, &current);
            // A drive at its maximum gets "the maximum" back, as it had it
            // (not a fixed speed that equals it today).
            *savedKBps = current > 0 && current < maximum ? current : 0xFFFF;
            constexpr int32_t kSlowKBps = 4 * 176; // 4 X
            CdCommands::SetReadSpeed(run.hostAdapter, run.target,
                                     static_cast<uint16_t>(std::min(kSlowKBps, *savedKBps)));
        } else {
            CdCommands::SetReadSpeed(run.hostAdapter, run.target,
                                     static_cast<uint16_t>(*savedKBps));
        }
    };
    drive.cancelled = [&run] { return run.cancel.load(); };
    auto reader = std::make_unique<SecureReader>(run.secureSettings, std::move(drive));
    reader->SetUsesC2(*c2Works);
    return reader;
}

// Reads `count` sectors as the run's read method returns them.
int32_t PlainRead(const ExtractRun& run, SectorAddress address, int32_t count, uint8_t* into) {
    return CdCommands::ReadAudio(run.hostAdapter, run.target, address, count, into,
                                 run.readMethod);
}

// Reads the pass's sectors in order: as the drive returns them, or, with a
// read-offset correction, shifted by it. `read` reads whole sectors.
class PassReader {
public:
    using ReadSectors = CorrectedReader::ReadSectors;

    PassReader(const ExtractRun& run, ReadSectors read) : read_(std::move(read)) {
        if (run.readOffset != 0) {
            corrected_.emplace(run.currentAddress, run.readOffset, run.readableStart,
                               run.readableEnd, read_);
        }
    }

    // The next `sectors` sectors of the pass, which start at `address`.
    int32_t Read(SectorAddress address, int sectors, uint8_t* into) {
        if (!corrected_) {
            return read_(address, sectors, into);
        }
        return corrected_->Next(sectors, into);
    }

private:
    ReadSectors read_;
    std::optional<CorrectedReader> corrected_;
};

// Marks the peak entries of the blocks that hold the outcomes from `from` on,
// which lie in [first, last] as the pass counts its sectors (a read-offset
// correction reads a little beside them).
void MarkOutcomes(ExtractRun& run, const SecureReader& secure, std::size_t from,
                  SectorAddress first, SectorAddress last) {
    const std::vector<SectorOutcome>& outcomes = secure.Outcomes();
    for (std::size_t i = from; i < outcomes.size(); ++i) {
        if (outcomes[i].confirmed) {
            continue; // the file was right there
        }
        const SectorAddress address = std::clamp(outcomes[i].address, first, last);
        PeakPair* entry = run.peaks->At(address);
        if (entry != nullptr) {
            entry->secureMark = std::max(entry->secureMark, outcomes[i].agreed
                                                                ? kSecureMarkRepaired
                                                                : kSecureMarkSuspicious);
        }
    }
}

void Advance(ExtractRun& run) {
    run.currentAddress += kBlockSectors;
    run.trackSectorsDone += kBlockSectors;
    run.totalSectorsDone += kBlockSectors;
}

// Encodes the track (a one-file job: the whole file) again from its PCM
// file, after a verification corrected it. False when the run was cancelled or the file could not be
// read or encoded (`run.fileError` then says why).
bool Reencode(ExtractRun& run, TrackEncoder& encoder, const std::string& pcmPath) {
    run.encoded = false;
    const int32_t sectors = run.oneFile ? run.fileSectors : run.trackLength;
    if (!encoder.Start(run.currentPath, sectors)) {
        run.fileError = encoder.Error();
        return false;
    }
    std::FILE* pcm = std::fopen(pcmPath.c_str(), "rb");
    bool ok = pcm != nullptr && std::fseek(pcm, kWavHeaderBytes, SEEK_SET) == 0;
    std::vector<uint8_t> block(kBlockBytes);
    for (int64_t left = int64_t{sectors} * kSectorBytes; ok && left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<int64_t>(left, kBlockBytes));
        ok = !run.cancel.load() && std::fread(block.data(), 1, want, pcm) == want &&
             encoder.Push(block.data(), want);
        left -= static_cast<int64_t>(want);
    }
    if (pcm != nullptr) {
        std::fclose(pcm);
    }
    ok = ok && encoder.Finish();
    if (!ok) {
        if (!run.cancel.load()) {
            const std::string error = encoder.Error();
            run.fileError = error.empty() ? run.currentPath + ": cannot be encoded again" : error;
        }
        encoder.Discard();
        return false;
    }
    run.encoded = true;
    return true;
}

} // namespace

bool WriteBufferLoad(ExtractRun& run, const uint8_t* data) {
    if (run.outputFile == nullptr || data == nullptr) {
        return false;
    }
    if (!run.outputFile->Write(data, kFlushThreshold)) {
        run.fileError = run.outputFile->Error();
        return false;
    }
    return true;
}

void ExtractWorker(std::shared_ptr<ExtractRun> runPointer, ProgressChannel& channel) {
    ExtractRun& run = *runPointer;
    platform::SetCurrentThreadPriorityHighest();

    const std::string path = run.currentPath;
    const int32_t length = run.trackLength;
    // The file's header: the track's, or in a one-file job the whole file's.
    const auto header = MakeWavHeader(run.oneFile ? run.fileSectors : length);

    // The track goes to a temporary file that takes the final name only when
    // it is complete, so a failed or cancelled pass never touches a file
    // that stands there already. An encoded track's PCM goes to a temporary
    // file that keeps its temporary name: the encoder's file takes the
    // final name once the track is done. A one-file job's later tracks are
    // added to the file its first track created.
    const std::shared_ptr<TrackEncoder> encoder = run.encoder;
    const bool continuing = run.oneFile && run.continuesFile;
    const auto pcmFile = continuing ? run.pcmFile : std::make_shared<platform::OutputFile>();
    run.fileError.clear();
    run.encoded = false;
    if (!pcmFile || (continuing && !pcmFile->IsOpen())) {
        run.fileError = path + ": the file of the tracks before is gone";
        channel.Send(kCodeFileNotOpened, nullptr);
        return;
    }
    platform::OutputFile& file = *pcmFile;
    if (!continuing) {
        run.pcmChanged = false;
        if (!file.Create(path)) {
            run.fileError = file.Error();
            channel.Send(kCodeFileNotOpened, nullptr);
            return;
        }
        if (encoder && !encoder->Start(path, run.oneFile ? run.fileSectors : length)) {
            run.fileError = encoder->Error();
            file.Discard();
            channel.Send(kCodeFileNotOpened, nullptr);
            return;
        }
        if (encoder || run.oneFile) {
            run.pcmFile = pcmFile;
        }
        if (encoder && run.encodeBehind) {
            encoder->ReadBehind(file.TemporaryPath());
        }
    }
    run.outputFile = &file;
    run.bufferWriteFailed = false;

    uint8_t* buffer = run.audioBuffer.get();
    // The header's place is kept at the file's start; a one-file job knows
    // its header from the start, a track's is written at its end.
    std::size_t fill = continuing ? 0 : kWavHeaderBytes;
    if (run.oneFile && !continuing) {
        std::memcpy(buffer, header.data(), header.size());
    }
    const int blocks = BlockCount(length);
    run.secureOutcomes.clear();
    run.secureRereads = 0;
    run.givenUp.clear();
    run.agreedBefore.clear();
    run.failedReadSense = 0;
    // A secure extraction reads ahead, several blocks with one command.
    std::unique_ptr<SecureReader> secure = run.secure ? MakeSecureReader(run, true) : nullptr;
    // The drive gets its speed back before the message that ends the pass,
    // after which the next pass's worker may send commands.
    auto end = [&](int code) {
        if (secure) {
            secure->Finish();
        }
        return channel.Send(code, nullptr);
    };
    std::size_t marked = 0; // outcomes whose blocks are marked in the peak table
    // A secure run reads every block through the secure reader.
    PassReader reader(run, [&run, reader = secure.get()](SectorAddress address, int32_t count,
                                                         uint8_t* into) {
        return reader != nullptr ? reader->Read(address, count, into)
                                 : PlainRead(run, address, count, into);
    });
    for (int block = 0; block < blocks; ++block) {
        if (run.cancel.load()) {
            end(kCodeCancelled);
            Discard(run, file, encoder.get());
            return;
        }
        const int sectors = BlockSectors(length, block, blocks);
        const int32_t status = reader.Read(run.currentAddress, sectors, buffer + fill);
        if (status != kStatusOk && run.cancel.load()) {
            end(kCodeCancelled);
            Discard(run, file, encoder.get());
            return;
        }
        if (status != kStatusOk) {
            // The message goes first, so the error is logged before the file goes.
            end(kCodeReadFailed);
            Discard(run, file, encoder.get());
            return;
        }
        ComputePeaks(buffer + fill, sectors, run.currentAddress, *run.peaks);
        if (secure) {
            MarkOutcomes(run, *secure, marked, run.currentAddress,
                         run.currentAddress + kBlockSectors - 1);
            marked = secure->Outcomes().size();
        }
        if (run.blockRead) {
            run.blockRead(buffer + fill, static_cast<std::size_t>(sectors) * kSectorBytes);
        }
        if (encoder &&
            !encoder->Push(buffer + fill, static_cast<std::size_t>(sectors) * kSectorBytes)) {
            run.fileError = encoder->Error();
            end(kCodeWriteFailed);
            Discard(run, file, encoder.get());
            return;
        }
        if (!channel.Send(kCodePeaksStored, nullptr)) {
            Discard(run, file, encoder.get()); // the window is gone
            return;
        }
        fill += static_cast<std::size_t>(sectors) * kSectorBytes;
        if (fill >= kFlushThreshold) {
            const bool handled = channel.Send(kCodeWriteBufferLoad, buffer);
            if (!handled) {
                Discard(run, file, encoder.get());
                return;
            }
            if (run.bufferWriteFailed) {
                end(kCodeWriteFailed);
                Discard(run, file, encoder.get());
                return;
            }
            std::memmove(buffer, buffer + kFlushThreshold, fill - kFlushThreshold);
            fill -= kFlushThreshold;
        }
        Advance(run);
        if (!channel.Send(kCodeBlockDone, nullptr)) {
            Discard(run, file, encoder.get());
            return;
        }
    }

    if (secure) {
        secure->Finish();
        run.secureOutcomes = secure->Outcomes();
        for (const SectorOutcome& outcome : run.secureOutcomes) {
            if (!outcome.agreed) {
                run.givenUp.push_back(outcome.address);
            } else {
                run.agreedBefore.push_back(outcome);
            }
        }
        run.secureRereads = secure->Rereads();
        const auto unreadable = std::count_if(
            run.secureOutcomes.begin(), run.secureOutcomes.end(),
            [](const SectorOutcome& outcome) { return !outcome.readable; });
        if (length > 0 && unreadable >= length) {
            // Not one sector of the track could be read.
            end(kCodeReadFailed);
            Discard(run, file, encoder.get());
            return;
        }
    }

    bool written = file.Write(buffer, fill);
    if (!run.oneFile) {
        written = written && file.SeekTo(0) && file.Write(header.data(), header.size());
    }
    run.outputFile = nullptr;
    if (run.oneFile && !run.lastInFile) {
        // The next track adds to the file.
    } else if (encoder) {
        // The encoded file is completed now, or on the encoder's thread while
        // the next track is read; it is renamed once the track is done
        // (after its verification, which may correct the PCM). When
        // a verification has corrected the PCM of a track before, the file
        // is made again from the PCM, and holds what the PCM holds.
        if (written && run.pcmChanged) {
            if (!Reencode(run, *encoder, file.TemporaryPath())) {
                if (run.cancel.load()) {
                    end(kCodeCancelled);
                    Discard(run, file, encoder.get());
                    return;
                }
                written = false;
            }
            run.pcmChanged = false;
        } else if (written &&
                   !(run.encodeBehind ? encoder->EndInput() : encoder->Finish())) {
            run.fileError = encoder->Error();
        }
        written = written && run.fileError.empty();
        run.encoded = written;
    } else if (!run.oneFile) {
        written = written && file.Commit();
    }
    // (A one-file job's WAV file takes its name once its last track is done.)
    if (!written) {
        if (run.fileError.empty()) {
            run.fileError = file.Error().empty() ? path + ": cannot be written" : file.Error();
        }
        Discard(run, file, encoder.get());
        channel.Send(kCodeWriteFailed, nullptr);
        return;
    }
    channel.Send(kCodePassDone, nullptr);
}

namespace {

constexpr std::size_t kVerifyBufferBytes = 50000;
// Blocks whose differing sectors a secure verification re-reads together:
// one cache defeat per round for all of them.
constexpr int kRepairWindowBlocks = 32;

// Counts the differing bytes of one block into the track, the run and the
// block's entry.
void CompareBlock(ExtractRun& run, const uint8_t* disc, const uint8_t* file, std::size_t bytes,
                  PeakPair* entry) {
    if (std::memcmp(disc, file, bytes) == 0) {
        return;
    }
    for (std::size_t i = 0; i < bytes; ++i) {
        if (disc[i] == file[i]) {
            continue;
        }
        ++run.trackErrors;
        ++run.totalErrors;
        if (entry != nullptr) {
            if (i % 4 < 2) {
                ++entry->leftErrors;
            } else {
                ++entry->rightErrors;
            }
        }
    }
}

// Splits a READ CD answer with error pointers into the user data (moved to
// the front of `disc`) and the error bits (into `bits`), and counts the
// flagged bytes of each channel. Returns whether any bit was set.
bool SplitC2(uint8_t* disc, int sectors, uint8_t* bits, int32_t& left, int32_t& right) {
    left = 0;
    right = 0;
    for (int s = 0; s < sectors; ++s) {
        const uint8_t* sectorBits = disc + s * CdCommands::kSectorWithC2Bytes + kSectorBytes;
        std::memcpy(bits + s * CdCommands::kC2Bytes, sectorBits, CdCommands::kC2Bytes);
    }
    for (int s = 0; s < sectors; ++s) {
        std::memmove(disc + s * kSectorBytes, disc + s * CdCommands::kSectorWithC2Bytes,
                     kSectorBytes);
    }
    for (int s = 0; s < sectors; ++s) {
        const uint8_t* sectorBits = bits + s * CdCommands::kC2Bytes;
        for (int b = 0; b < CdCommands::kC2Bytes; ++b) {
            const uint8_t value = sectorBits[b];
            if (value == 0) {
                continue;
            }
            for (int bit = 0; bit < 8; ++bit) {
                if (value & (0x80 >> bit)) {
                    const int byteInSector = b * 8 + bit;
                    if (byteInSector % 4 < 2) {
                        ++left;
                    } else {
                        ++right;
                    }
                }
            }
        }
    }
    return left + right > 0;
}

// Re-reads what the sectors of the file took from the drive where the second
// reading of the block at the run's current address differs from the file,
// in rounds for all of them, until readings agree, and writes the agreed (or
// most frequent) reading over the file's sectors; the file stays positioned
// after the block. Without a read-offset correction a file sector is a drive
// sector: its file and second readings count as two readings (where `held`
// says the second reading came from one read, not from re-reads that may
// have left silence). With a correction a file sector is the
// tail of one drive sector and the head of the next: only a drive sector
// whose part differs is read again, once for two file sectors that share
// it. Each such file sector gets one outcome, named by its place in the
// track; one whose agreeing readings equal the file is confirmed, and
// neither written nor counted as corrected. False when cancelled.
bool RepairBlock(ExtractRun& run, SecureReader& secure, std::FILE* file, uint8_t* disc,
                 const uint8_t* fromFile, int sectors, const std::vector<bool>& held) {
    struct Part {
        int fileSector;     // within the block
        std::size_t from;   // bytes within the file sector
        std::size_t size;
        int64_t address;    // the drive sector
        std::size_t within; // where the part starts in the drive sector
    };
    std::vector<Part> parts;
    auto givenUp = [&run](int64_t address) {
        return std::find(run.givenUp.begin(), run.givenUp.end(), address) != run.givenUp.end();
    };
    auto agreedBefore = [&run](int64_t address) -> const SectorOutcome* {
        for (const SectorOutcome& outcome : run.agreedBefore) {
            if (outcome.address == address) {
                return &outcome;
            }
        }
        return nullptr;
    };
    for (int s = 0; s < sectors; ++s) {
        const std::size_t at = static_cast<std::size_t>(s) * kSectorBytes;
        if (std::memcmp(disc + at, fromFile + at, kSectorBytes) == 0) {
            continue;
        }
        const DrivePosition source = DrivePositionOf(run.currentAddress + s, run.readOffset);
        const auto within = static_cast<std::size_t>(source.within);
        for (int part = 0; part < (within != 0 ? 2 : 1); ++part) {
            // Part 0: the drive sector's bytes from `within` on, at the head
            // of the file's sector; part 1: the next one's first bytes.
            const std::size_t from = part == 0 ? 0 : kSectorBytes - within;
            const std::size_t size = part == 0 ? kSectorBytes - within : within;
            const int64_t address = source.sector + part;
            if (std::memcmp(disc + at + from, fromFile + at + from, size) == 0 ||
                address < run.readableStart || address >= run.readableEnd) {
                continue; // agrees, or is silence that no drive reading holds
            }
            parts.push_back(Part{s, from, size, address, part == 0 ? within : 0});
        }
    }
    if (parts.empty()) {
        return true;
    }

    // The drive sectors to read again, as one range with the ones that
    // need it marked.
    int64_t lowest = parts.front().address;
    int64_t highest = lowest;
    for (const Part& part : parts) {
        lowest = std::min(lowest, part.address);
        highest = std::max(highest, part.address);
    }
    const auto count = static_cast<int32_t>(highest - lowest + 1);
    std::vector<uint8_t> drive(static_cast<std::size_t>(count) * kSectorBytes);
    std::vector<bool> suspect(static_cast<std::size_t>(count), false);
    std::vector<const uint8_t*> seeds(static_cast<std::size_t>(count), nullptr);
    // With a correction no reading of a whole drive sector is at hand: its
    // re-reads start with a first one.
    std::vector<bool> holds(static_cast<std::size_t>(count), false);
    const bool plain = run.readOffset == 0;
    for (const Part& part : parts) {
        const auto index = static_cast<std::size_t>(part.address - lowest);
        suspect[index] = !givenUp(part.address) && agreedBefore(part.address) == nullptr;
        if (plain) {
            const std::size_t at = static_cast<std::size_t>(part.fileSector) * kSectorBytes;
            std::memcpy(drive.data() + index * kSectorBytes, disc + at, kSectorBytes);
            seeds[index] = fromFile + at;
            holds[index] = held[static_cast<std::size_t>(part.fileSector)];
        }
    }
    const std::optional<std::vector<SectorOutcome>> reread =
        secure.Reread(static_cast<SectorAddress>(lowest), count, drive.data(), suspect, seeds,
                      holds);
    if (!reread) {
        return false;
    }
    // A sector whose readings never agreed during the extraction is not
    // read again: the file keeps its reading, and the sector stays unsure.
    SectorOutcome unsure;
    unsure.readings = 2;
    unsure.agreeing = 1;
    unsure.readable = false;
    auto outcomeOf = [&](int64_t address) -> const SectorOutcome& {
        for (const SectorOutcome& outcome : *reread) {
            if (outcome.address == address) {
                return outcome;
            }
        }
        return unsure;
    };

    const long after = std::ftell(file);
    for (std::size_t p = 0; p < parts.size();) {
        const int s = parts[p].fileSector;
        const std::size_t at = static_cast<std::size_t>(s) * kSectorBytes;
        uint8_t* sector = disc + at;
        SectorOutcome outcome;
        outcome.address = run.currentAddress + s;
        outcome.trackSector = run.trackSectorsDone + s;
        outcome.agreed = true;
        bool firstPart = true;
        bool wholeGivenUp = true;
        for (; p < parts.size() && parts[p].fileSector == s; ++p) {
            const Part& part = parts[p];
            wholeGivenUp = wholeGivenUp && givenUp(part.address);
            const SectorOutcome* earlier = agreedBefore(part.address);
            const SectorOutcome& done = earlier != nullptr ? *earlier : outcomeOf(part.address);
            if (earlier == nullptr && done.readable) {
                std::memcpy(sector + part.from,
                            drive.data() +
                                static_cast<std::size_t>(part.address - lowest) * kSectorBytes +
                                part.within,
                            part.size);
            } else {
                // Agreeing readings made the file's, or no reading at all
                // did: the file keeps its own (confirmed, or not).
                std::memcpy(sector + part.from, fromFile + at + part.from, part.size);
            }
            // The file sector is as sure as the less sure of its parts.
            outcome.readings = std::max(outcome.readings, done.readings);
            outcome.agreeing =
                firstPart ? done.agreeing : std::min(outcome.agreeing, done.agreeing);
            outcome.agreed = outcome.agreed && done.agreed;
            firstPart = false;
        }
        const bool same = std::memcmp(sector, fromFile + at, kSectorBytes) == 0;
        outcome.confirmed = outcome.agreed && same;
        if (!wholeGivenUp) {
            secure.AddOutcome(outcome); // (the extraction named a given-up one)
        }
        if (outcome.confirmed) {
            ++run.confirmedSectors;
            continue;
        }
        ++run.differingSectors;
        if (outcome.agreed) {
            ++run.repairedSectors;
        }
        if (same) {
            continue; // nothing agreed, and the file keeps what it holds
        }
        const long position =
            kWavHeaderBytes +
            static_cast<long>(run.fileStart + run.trackSectorsDone + s) * kSectorBytes;
        if (std::fseek(file, position, SEEK_SET) != 0 ||
            std::fwrite(sector, 1, kSectorBytes, file) != kSectorBytes) {
            run.fileError = run.currentPath + ": cannot be corrected";
        }
        run.pcmChanged = true; // (even a part of a failed write may have landed)
    }
    std::fflush(file);
    std::fseek(file, after, SEEK_SET);
    return true;
}

} // namespace

void VerifyWorker(std::shared_ptr<ExtractRun> runPointer, ProgressChannel& channel) {
    ExtractRun& run = *runPointer;
    platform::SetCurrentThreadPriorityNormal();

    const bool compare = run.compareWithFile;
    // An encoded track is compared with (and corrected in) its PCM file; a
    // one-file job's track with its part of the file, not yet renamed.
    const std::shared_ptr<TrackEncoder> encoder = run.encoder;
    const std::string pcmPath = (encoder || run.oneFile) && run.pcmFile
                                    ? run.pcmFile->TemporaryPath()
                                    : run.currentPath;
    std::FILE* file = nullptr;
    if (compare) {
        file = std::fopen(pcmPath.c_str(), "r+b");
        if (file == nullptr) {
            channel.Send(kCodeFileNotOpened, nullptr);
            return;
        }
        // (A track's file starts with its header: a failed seek leaves
        // nothing to read, which then counts as differing.)
        (void)std::fseek(file, kWavHeaderBytes + static_cast<long>(run.fileStart) * kSectorBytes,
                         SEEK_SET);
    }
    auto close = [&] {
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
    };

    const int32_t length = run.trackLength;
    const int blocks = BlockCount(length);
    // A secure run corrects the file where the second reading differs.
    run.secureOutcomes.clear();
    run.secureRereads = 0;
    run.repairedSectors = 0;
    run.differingSectors = 0;
    run.confirmedSectors = 0;
    std::unique_ptr<SecureReader> secure = run.secure && compare ? MakeSecureReader(run) : nullptr;
    if (secure) {
        secure->SetGivenUp(run.givenUp);
    }
    const int windowBlocks = secure ? kRepairWindowBlocks : 1;
    const std::size_t bufferBytes =
        std::max(kVerifyBufferBytes, static_cast<std::size_t>(windowBlocks) * kBlockBytes);
    std::vector<uint8_t> disc(bufferBytes);
    std::vector<uint8_t> fromFile(bufferBytes);
    auto end = [&](int code) {
        if (secure) {
            secure->Finish();
        }
        close();
        return channel.Send(code, nullptr);
    };
    if (secure && run.secureSettings.cacheSectors > 0) {
        // The second reading must not come from the drive's cache: after a
        // track shorter than the cache, enough sectors elsewhere push the
        // track's out of it.
        const int32_t stale = run.secureSettings.cacheSectors - length + kBlockSectors;
        if (stale > 0) {
            secure->DefeatCache(run.currentAddress,
                                std::min(stale, run.secureSettings.cacheSectors));
        }
    }
    // The second reading gets the same correction as the first. In a secure
    // run a block whose read fails is read again through the secure reader,
    // which gives silence where nothing reads, as the first pass wrote it.
    bool blockReRead = false; // the current block came (partly) from re-reads
    std::optional<ReadAhead> ahead;
    if (secure) {
        ahead.emplace(
            [&run](SectorAddress address, int32_t count, uint8_t* audio, uint8_t*) {
                return PlainRead(run, address, count, audio);
            },
            run.readableEnd, false, DiscAtFault, &run.longReadsRefused);
    }
    PassReader reader(run, [&run, &secure, &blockReRead, &ahead](SectorAddress address,
                                                                 int32_t count, uint8_t* into) {
        const int32_t status = ahead ? ahead->Read(address, count, into, nullptr)
                                     : PlainRead(run, address, count, into);
        if (status == kStatusOk || secure == nullptr || run.cancel.load()) {
            return status;
        }
        blockReRead = true;
        return secure->Read(address, count, into);
    });
    std::vector<bool> held; // per sector of the window: a reading of one read
    for (int block = 0; block < blocks; block += windowBlocks) {
        if (!compare) {
            std::memset(disc.data(), 0x63, disc.size());
            std::memset(fromFile.data(), 0x6F, fromFile.size());
        }
        if (run.cancel.load()) {
            end(kCodeCancelled);
            return;
        }
        const int count = std::min(windowBlocks, blocks - block);
        const std::size_t before = secure ? secure->Outcomes().size() : 0;
        held.clear();
        int windowSectors = 0;
        for (int k = 0; k < count; ++k) {
            const int sectors = BlockSectors(length, block + k, blocks);
            uint8_t* at = disc.data() + static_cast<std::size_t>(windowSectors) * kSectorBytes;
            blockReRead = false;
            const int32_t status =
                compare ? reader.Read(run.currentAddress + windowSectors, sectors, at)
                        : CdCommands::ReadCdWithC2(run.hostAdapter, run.target,
                                                   run.currentAddress, sectors, at);
            if (status != kStatusOk) {
                // (The secure reader stops its re-reads when the run is cancelled.)
                end(secure && run.cancel.load() ? kCodeCancelled : kCodeReadFailed);
                return;
            }
            held.insert(held.end(), static_cast<std::size_t>(sectors), !blockReRead);
            windowSectors += sectors;
        }
        const std::size_t bytes = static_cast<std::size_t>(windowSectors) * kSectorBytes;
        if (compare) {
            // Every block of the window was read whole (a failed read ends
            // the pass); what the file cannot give is filled with 0x6F, which
            // then counts as differing.
            const std::size_t got = std::fread(fromFile.data(), 1, bytes, file);
            std::memset(fromFile.data() + got, 0x6F, bytes - got);
            for (int k = 0, at = 0; k < count; at += BlockSectors(length, block + k, blocks), ++k) {
                PeakPair* entry = run.peaks->At(run.currentAddress + at);
                if (entry != nullptr) {
                    entry->leftErrors = 0;
                    entry->rightErrors = 0;
                }
                const std::size_t from = static_cast<std::size_t>(at) * kSectorBytes;
                CompareBlock(run, disc.data() + from, fromFile.data() + from,
                             static_cast<std::size_t>(BlockSectors(length, block + k, blocks)) *
                                 kSectorBytes,
                             entry);
            }
            if (secure && run.readOffset == 0) {
                // The sectors that differ from the file are settled below,
                // with the file's reading: what the re-reads of a failed
                // block concluded alone is not their outcome.
                secure->DropOutcomes(before, [&](const SectorOutcome& outcome) {
                    const int64_t sector = int64_t{outcome.address} - run.currentAddress;
                    const std::size_t at = static_cast<std::size_t>(sector) * kSectorBytes;
                    return sector >= 0 && sector < windowSectors &&
                           !held[static_cast<std::size_t>(sector)] &&
                           std::memcmp(disc.data() + at, fromFile.data() + at, kSectorBytes) != 0;
                });
            }
            if (secure && !RepairBlock(run, *secure, file, disc.data(), fromFile.data(),
                                       windowSectors, held)) {
                end(kCodeCancelled);
                return;
            }
            if (secure) {
                MarkOutcomes(run, *secure, before, run.currentAddress,
                             run.currentAddress + windowSectors - 1);
            }
        } else {
            int32_t left = 0;
            int32_t right = 0;
            if (SplitC2(disc.data(), windowSectors, fromFile.data(), left, right)) {
                ++run.trackErrors;
                ++run.totalErrors;
            }
            PeakPair* entry = run.peaks->At(run.currentAddress);
            if (entry != nullptr) {
                entry->leftErrors = left;
                entry->rightErrors = right;
            }
        }
        // The window's blocks, in order, as the display and the checksums
        // take them.
        std::size_t from = 0;
        for (int k = 0; k < count; ++k) {
            const int sectors = BlockSectors(length, block + k, blocks);
            const std::size_t blockBytes = static_cast<std::size_t>(sectors) * kSectorBytes;
            if (compare || run.readOffset == 0) {
                ComputePeaks(disc.data() + from, sectors, run.currentAddress, *run.peaks);
            }
            // (The C2 check reads the drive's sectors as they are, error bits
            // and all: with a read-offset correction its block is not the
            // track's corrected audio, and the extraction pass's peaks stay.)
            if (run.blockRead && (compare || run.readOffset == 0)) {
                run.blockRead(disc.data() + from, blockBytes);
            }
            if (!channel.Send(kCodePeaksStored, nullptr)) {
                close();
                return;
            }
            Advance(run);
            if (!channel.Send(kCodeBlockDone, nullptr)) {
                close();
                return;
            }
            from += blockBytes;
        }
    }
    if (secure) {
        // A sector the extraction gave up is named there, not again.
        for (const SectorOutcome& outcome : secure->Outcomes()) {
            if (outcome.trackSector >= 0 ||
                std::find(run.givenUp.begin(), run.givenUp.end(), outcome.address) ==
                    run.givenUp.end()) {
                run.secureOutcomes.push_back(outcome);
            }
        }
        run.secureRereads = secure->Rereads();
    }
    if (encoder && run.pcmChanged && (!run.oneFile || run.lastInFile)) {
        // The encoded file holds the first reading: it is made again from
        // the corrected PCM (a one-file job's before its last track: when
        // that track's extraction completes the file).
        close();
        if (!Reencode(run, *encoder, pcmPath)) {
            end(run.cancel.load() ? kCodeCancelled : kCodeWriteFailed);
            return;
        }
    }
    end(kCodePassDone);
}

} // namespace vindral
