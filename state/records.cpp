// The persisted records of the resume state and the whole state's store and
// load, in the section order of the temporary file.
// Portable: no OS header. Loading takes the file as untrusted input: values
// that would send the engine outside its file or its state machine are
// refused or brought back into range (see loadResumeState).
#include "state/records.h"

#include "state/state_map.h"
#include "state/temp_file_format.h"

void exchangeAppRecord(StateSection& section, AppSettings& app) {
    section.exchangeUInt("status_downflags", app.downloadOptions.flags);
    section.exchangeInt("status_suppresssize", app.downloadOptions.speedLimit);
    section.exchangeText("TargetDir", app.TargetDir);
    section.exchangeInt("Timeout", app.Timeout);
    section.exchangeInt("Dead", app.Dead);
    section.exchangeInt("SoundOnF", app.SoundOnF);
    section.exchangeText("SoundFile", app.SoundFile);
    section.exchangeText("AnonyPass", app.AnonyPass);
    section.exchangeText("Proxy", app.Proxy);
    section.exchangeBool("UseIECache", app.UseIECache);
    section.exchangeBool("CloseAtEnd", app.CloseAtEnd);
    section.exchangeText("DstDir", app.DstDir);
    section.exchangeText("InputURL", app.InputURL);
    section.exchangeText("InputReferer", app.InputReferer);
    section.exchangeBool("NoDialog", app.NoDialog);
    section.exchangeBool("IgnoreSFW", app.IgnoreSFW);
    section.exchangeBool("AutoRename", app.AutoRename);
    section.exchangeBool("UseIECookie", app.UseIECookie);
}

namespace {

// A signed field kept in memory that the file holds as a 32-bit unsigned.
void exchangeIntAsUInt(StateSection& section, const char* field, int32_t& value) {
    uint32_t bits = static_cast<uint32_t>(value);
    section.exchangeUInt(field, bits);
    value = static_cast<int32_t>(bits);
}

}  // namespace

void exchangeJobRecord(StateSection& section, JobRecord& job) {
    section.exchangeDouble("db_downrate", job.speedRatio);
    section.exchangeInt("FinalTimer", job.finalDisplay);
    section.exchangeUInt("ElapsedSec", job.elapsedSeconds);
    exchangeIntAsUInt(section, "PrevBState", job.displayState);
    section.exchangeInt("MoveSuccess", job.moveSucceeded);
    exchangeIntAsUInt(section, "Stage", job.stage);
    section.exchangeUInt64("ContentLength", job.contentLength);
    section.exchangeText("TargetFile", job.targetFile);
    section.exchangeText("EnteredMD5", job.enteredMd5);
    section.exchangeText("EnteredSHA1", job.enteredSha1);
    section.exchangeText("EnteredSHA256", job.enteredSha256);
    section.exchangeBool("WhiteSheetAs", job.hasWhiteSheet);
}

void exchangeNewDownloadRecord(StateSection& section, NewDownloadRecord& values) {
    section.exchangeInt("FirstInit", values.FirstInit);
    section.exchangeText("strURL", values.strURL);
    section.exchangeText("strReferer", values.strReferer);
    section.exchangeText("strProxy", values.strProxy);
    section.exchangeText("strTargetDir", values.strTargetDir);
}

void exchangeSessionRecord(StateSection& section, SessionRecord& session) {
    section.exchangeInt("FtpPhase", session.ftpPhase);
    section.exchangeInt("WaitCount", session.waitCount);
    section.exchangeInt("IsFtp", session.isFtp);
    exchangeIntAsUInt(section, "Percent", session.percent);
    section.exchangeInt("Suspend", session.suspended);
    section.exchangeDouble("dbRate", session.rate);
    section.exchangeUInt64("FirstRange", session.position);
    section.exchangeUInt64("LastRange", session.rangeEnd);
    section.exchangeUInt64("LastRecvLen", session.lastSamplePosition);
    section.exchangeInt("Phase", session.phase);
    section.exchangeText("CurURL", session.url);
    section.exchangeText("CurReferer", session.referer);
    section.exchangeInt("MaxTimeout", session.timeoutTicks);
}

bool storeResumeState(const ResumeStateRefs& state, std::string& text) {
    StateMap map;
    StateSection section(map, StateDirection::Store);
    section.setSection("App");
    exchangeAppRecord(section, state.app);
    state.job.hasWhiteSheet = state.whiteSheet != nullptr;
    section.setSection("DLG");
    exchangeJobRecord(section, state.job);
    section.setSection("NewDD");
    exchangeNewDownloadRecord(section, state.newDownload);
    if (state.whiteSheet) {
        section.setSection("WhiteSheet");
        state.whiteSheet->exchange(section);
    }
    section.setSection("Session0");
    exchangeSessionRecord(section, state.session0);
    section.setSection("Session1");
    exchangeSessionRecord(section, state.session1);
    return writeStateText(map, text);
}

namespace {

// A download position or size the data area can hold.
bool isDataOffset(uint64_t value) { return value <= MAX_DOWNLOAD_SIZE; }

// Checks one loaded session: positions outside any possible file are refused;
// a phase outside the state machine becomes idle and counters are brought
// into their ranges, so that a damaged value cannot stall or misdirect the run.
bool checkSession(SessionRecord& session) {
    if (!isDataOffset(session.position) || !isDataOffset(session.lastSamplePosition)) return false;
    if (session.rangeEnd != -1 && (session.rangeEnd < 0 || !isDataOffset(uint64_t(session.rangeEnd)))) {
        return false;
    }
    if (session.phase < 0 || session.phase > 4) session.phase = 0;
    if (session.percent < 0) session.percent = 0;
    if (session.percent > 100) session.percent = 100;
    if (session.waitCount < 0) session.waitCount = 0;
    if (session.timeoutTicks < 0) session.timeoutTicks = 0;
    return true;
}

}  // namespace

bool loadResumeState(const char* block, size_t size, const ResumeStateRefs& state) {
    StateMap map;
    if (!parseStateText(block, size, map)) return false;
    StateSection section(map, StateDirection::Load);
    section.setSection("App");
    exchangeAppRecord(section, state.app);
    section.setSection("DLG");
    exchangeJobRecord(section, state.job);
    section.setSection("NewDD");
    exchangeNewDownloadRecord(section, state.newDownload);
    state.whiteSheet.reset();
    if (state.job.hasWhiteSheet) {
        state.whiteSheet.reset(new WhiteSheet);
        section.setSection("WhiteSheet");
        if (!state.whiteSheet->exchange(section)) {
            state.whiteSheet.reset();
            return false;
        }
    }
    section.setSection("Session0");
    exchangeSessionRecord(section, state.session0);
    section.setSection("Session1");
    exchangeSessionRecord(section, state.session1);

    // -1 is unknown and -2 the completion sequence's "finished" mark.
    int64_t length = state.job.contentLength;
    if (length < -2 || (length >= 0 && !isDataOffset(uint64_t(length)))) return false;
    return checkSession(state.session0) && checkSession(state.session1);
}
