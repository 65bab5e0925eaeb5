// How an emulated drive behaves beyond answering from its disc: the habits
// of real drives that the program must cope with. A CUE sheet sets them with
// REM DRIVE lines (see CueSheet.h); tests set them directly.
#pragma once

#include <cstdint>

namespace vindral::emulated {

struct DriveBehaviour {
    // After a disc goes in, commands that need the disc answer 02/04/01
    // (becoming ready) for this long.
    uint32_t becomingReadyMs = 0;
    // The disc the drive starts with counts as just inserted: the first
    // command other than INQUIRY gets a unit attention, 06/28/00 (medium
    // changed) or, with attentionReset, 06/29/00 (power on or reset).
    bool unitAttention = false;
    bool attentionReset = false;
    // Read commands answered GOOD with fewer bytes than asked: every
    // 2352-byte sector arrives as 2048 bytes, the rest of the buffer is left
    // as it was (a drive or bridge that keeps data-block length).
    bool shortReadCd = false;
    bool shortReadCdda = false;
    bool shortRead10 = false;
    // Read commands the drive does not know: answered 05/20/00 (invalid
    // command operation code), as drives without READ CD or without the
    // vendor READ CDDA answer them.
    bool refuseReadCd = false;
    bool refuseReadCdda = false;
    bool refuseRead10 = false;
    // Sense data in descriptor format (response code 0x72) instead of fixed.
    bool descriptorSense = false;
    // A read cache of this many sectors: a re-read of a sector among the
    // last ones read is answered from the cache, not from the disc.
    uint32_t cacheSectors = 0;
    // The drive's read offset in samples (stereo frames): sample j of what
    // it returns is sample j - offset of the pressed disc, zero outside it.
    int32_t offsetSamples = 0;
    // C2 error pointers. With noC2 the drive has none: READ CD asking for
    // them is refused (05/24/00) and MODE SENSE page 0x2A says so. Otherwise
    // they flag the bytes a reading got wrong, except for this share (0 to
    // 100 %) of them, left unflagged as real drives leave some.
    bool noC2 = false;
    uint32_t c2MissPercent = 0;
    // READ TOC format 5 (CD-Text) is refused with 05/24/00.
    bool noCdText = false;
    // READ TOC format 2 (the full TOC) is refused with 05/24/00.
    bool noFullToc = false;
    // READ CD delivers the sub-channel of the sector this many sectors
    // further on (negative: before), not of the sector read.
    int32_t qShift = 0;
    // READ SUB-CHANNEL reports no catalog number and no ISRC (MCVal and
    // TCVal clear), though the Q sub-channel carries them.
    bool noSubChannelIsrc = false;
    // READ CD refuses formatted Q (sub-channel selection 010b) with 05/24/00:
    // only raw P-W.
    bool rawSubChannelOnly = false;
    // READ CD refuses every sub-channel selection (formatted Q, raw P-W and
    // R-W) with 05/24/00: the drive reads no sub-channel at all.
    bool noSubChannel = false;
    // READ CD refuses a sub-channel selection without any main data (byte 9
    // zero) with 05/24/00: the sub-channel comes only with the sector.
    bool noSubChannelAlone = false;
    // Every n-th Q frame READ CD delivers has a wrong CRC (0: none).
    uint32_t badQCrcEvery = 0;
};

} // namespace vindral::emulated
