// Fuzz target: a state block as read from a temporary file. Parsing and
// loading every record must never crash, hang or grow without bound; a block
// that loads must store again, and the stored text must load to the same
// state (the text is a fixed point after one round).
#include "state/records.h"
#include "state/state_map.h"
#include "state/temp_file_format.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct State {
    AppSettings app;
    JobRecord job;
    NewDownloadRecord newDownload;
    std::unique_ptr<WhiteSheet> whiteSheet;
    SessionRecord session0, session1;
    ResumeStateRefs refs() { return {app, job, newDownload, whiteSheet, session0, session1}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > STATE_BLOCK_SIZE) return 0;
    const char* block = reinterpret_cast<const char*>(data);

    StateMap map;
    parseStateText(block, size, map);

    State state;
    if (!loadResumeState(block, size, state.refs())) return 0;

    // The loaded block map answers its questions and takes blocks safely.
    if (state.whiteSheet) {
        WhiteSheet sheet = *state.whiteSheet;
        sheet.isComplete();
        uint64_t position = sheet.ranges().empty() ? 0 : sheet.ranges().back().last;
        sheet.addBlock(position, 4096);
        sheet.addBlock(sheet.size(), 1);
        if (!sheet.isComplete()) std::abort();  // fblack is set now
    }

    std::string first;
    if (!storeResumeState(state.refs(), first)) return 0;
    State again;
    if (!loadResumeState(first.data(), first.size(), again.refs())) std::abort();
    std::string second;
    if (!storeResumeState(again.refs(), second) || second != first) std::abort();
    return 0;
}
