// The persisted records of the resume state: the application settings ("App"),
// the job ("DLG"), the new-download values ("NewDD") and the two transfer
// sessions ("Session0", "Session1"), each exchanged field by field in a fixed
// order through a StateSection; and the whole state's store and load in the
// section order of the temporary file.
// Portable: no OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/app_settings.h"
#include "state/white_sheet.h"

class StateMap;
class StateSection;

// The persisted fields of the download job. Comments give the record keys.
struct JobRecord {
    double speedRatio = 0;         // "db_downrate"
    int32_t finalDisplay = 0;      // "FinalTimer"
    uint32_t elapsedSeconds = 0;   // "ElapsedSec"
    int32_t displayState = 0;      // "PrevBState" (uint in the file)
    int32_t moveSucceeded = 0;     // "MoveSuccess"
    int32_t stage = 1;             // "Stage" (uint in the file): 1 ended, 2 running, 4 stopped
    int64_t contentLength = -1;    // "ContentLength" (uint64 in the file); -1 unknown
    std::string targetFile;        // "TargetFile"
    std::string enteredMd5;        // "EnteredMD5"
    std::string enteredSha1;       // "EnteredSHA1"
    std::string enteredSha256;     // "EnteredSHA256"; a file without the key loads it empty
    bool hasWhiteSheet = false;    // "WhiteSheetAs"; storeResumeState sets it from the sheet
};

// The persisted fields of one transfer session.
struct SessionRecord {
    int32_t ftpPhase = 0;             // "FtpPhase"
    int32_t waitCount = 0;            // "WaitCount"
    int32_t isFtp = 0;                // "IsFtp"
    int32_t percent = 0;              // "Percent" (uint in the file), 0..100
    int32_t suspended = 0;            // "Suspend"
    double rate = 0;                  // "dbRate", K/s
    uint64_t position = 0;            // "FirstRange": next byte to receive
    int64_t rangeEnd = -1;            // "LastRange" (uint64 in the file); -1 open end
    uint64_t lastSamplePosition = 0;  // "LastRecvLen"
    int32_t phase = 0;                // "Phase": 0 idle .. 4 waiting
    std::string url;                  // "CurURL"
    std::string referer;              // "CurReferer"
    int32_t timeoutTicks = 0;         // "MaxTimeout"
};

// The new-download values (field names are the record keys).
struct NewDownloadRecord {
    int32_t FirstInit = 1;
    std::string strURL;
    std::string strReferer;
    std::string strProxy;
    std::string strTargetDir;
};

// One exchange per record, serving both directions; the caller sets the
// section name first.
void exchangeAppRecord(StateSection& section, AppSettings& app);
void exchangeJobRecord(StateSection& section, JobRecord& job);
void exchangeNewDownloadRecord(StateSection& section, NewDownloadRecord& values);
void exchangeSessionRecord(StateSection& section, SessionRecord& session);

// Everything the resume state carries, by reference to where it lives. The
// block map is absent (null) while the content length is unknown.
struct ResumeStateRefs {
    AppSettings& app;
    JobRecord& job;
    NewDownloadRecord& newDownload;
    std::unique_ptr<WhiteSheet>& whiteSheet;
    SessionRecord& session0;
    SessionRecord& session1;
};

// Stores all records in the order "App", "DLG" (WhiteSheetAs computed from the
// block map), "NewDD", "WhiteSheet" (only with a block map), "Session0",
// "Session1", and produces the state text (NUL included). False when the text
// would not fit the state block.
bool storeResumeState(const ResumeStateRefs& state, std::string& text);

// Loads all records from a state block (normally STATE_BLOCK_SIZE bytes) in
// the same order; the "WhiteSheet" section only when WhiteSheetAs is true,
// into a fresh block map (else the block map becomes null). False when the
// block is not a state text or its content is damaged; the caller then shows
// string 96. On failure the records may be partly overwritten.
bool loadResumeState(const char* block, size_t size, const ResumeStateRefs& state);
