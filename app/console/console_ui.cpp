// The Linux console front end's DownloadUi: rows on standard error, the
// progress line on a terminal, questions on a terminal. Native only.
#include "app/console/console_ui.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "app/options_file.h"
#include "app/startup.h"

namespace {

struct ColourKeys {
    const char* text;
    const char* back;
    uint32_t textDefault;
    uint32_t backDefault;
};

// Kinds 0..7; 0 and 1 share the "Star" colours. "QestionBack" is the key's
// real spelling.
const ColourKeys kColourKeys[8] = {
    {"StarText", "StarBack", 0, 15658734},
    {"StarText", "StarBack", 0, 15658734},
    {"ErrorText", "ErrorBack", 200, 15658734},
    {"QuestionText", "QestionBack", 16711680, 15658734},
    {"UpText", "UpBack", 0, 12632256},
    {"DownText", "DownBack", 16777215, 0},
    {"WarningText", "WarningBack", 25600, 15658734},
    {"FatalText", "FatalBack", 0, 255},
};

// A 24-bit ANSI colour sequence from a COLORREF (0x00BBGGRR).
std::string ansiColour(int layer, uint32_t colour) {
    return "\x1b[" + std::to_string(layer) + ";2;" + std::to_string(colour & 0xff) + ";" +
           std::to_string((colour >> 8) & 0xff) + ";" + std::to_string((colour >> 16) & 0xff) + "m";
}

// Cuts a UTF-8 line to fit columns terminal cells (wide characters, from
// U+1100 on, take two), so that the progress line never wraps: a wrapped line
// could not be erased by a carriage return.
std::string fitToColumns(const std::string& line, int columns) {
    int used = 0;
    size_t i = 0;
    while (i < line.size()) {
        unsigned char lead = static_cast<unsigned char>(line[i]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        unsigned codePoint = lead;
        if (length == 2 && i + 1 < line.size()) codePoint = ((lead & 0x1Fu) << 6) | (line[i + 1] & 0x3F);
        if (length >= 3) codePoint = 0x1100;  // wide enough to count as two
        int width = codePoint >= 0x1100 ? 2 : 1;
        if (used + width > columns) break;
        used += width;
        i += length;
    }
    return line.substr(0, i);
}

int terminalColumns(FILE* out) {
    winsize size;
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col - 1;
    return 79;
}

}  // namespace

LogColours logColours(const OptionsFile& options, int kind) {
    const ColourKeys& keys = kColourKeys[kind >= 0 && kind <= 7 ? kind : 1];
    return {uint32_t(options.readInt("ListViewColor", keys.text, int32_t(keys.textDefault))),
            uint32_t(options.readInt("ListViewColor", keys.back, int32_t(keys.backDefault)))};
}

std::string formatLogRow(int hour, int minute, int second, int session, int kind, const std::string& text) {
    char time[16];
    snprintf(time, sizeof time, "%02d:%02d:%02d", hour, minute, second);
    // One row is one line: a line break inside a server's text would forge
    // another row.
    std::string flat = text;
    for (char& c : flat)
        if (c == '\n' || c == '\r') c = ' ';
    return std::string(time) + " " + std::to_string(session == 1 ? 1 : 0) + " " + std::to_string(kind) + " " +
           flat;
}

ConsoleUi::ConsoleUi(FILE* out, bool interactive, bool canAsk, const OptionsFile& options)
    : out_(out), interactive_(interactive), canAsk_(canAsk), options_(options) {
    for (int kind = 0; kind < 8; ++kind) colours_[kind] = logColours(options, kind);
    readAnswer = [](std::string& line) { return bool(std::getline(std::cin, line)); };
}

bool ConsoleUi::useDirectDelete() {
    return options_.readInt("MainOptions", "IsUseDirectDelete", 0) != 0;
}

bool ConsoleUi::autoCancelFtpSpeedLimit() {
    return options_.readInt("MainOptions", "IsAutoCancalFtpSpeedLimit", 0) != 0;
}

void ConsoleUi::clearProgress() {
    if (!progress_.empty()) {
        fputs("\r\x1b[K", out_);
        progress_.clear();
    }
}

void ConsoleUi::drawProgress() {
    if (!interactive_ || !status) return;
    std::string line = title_;
    for (const std::string* part : {&elapsed_, &speed_, &remaining_})
        if (!part->empty()) line += "  " + *part;
    line = fitToColumns(line, terminalColumns(out_));
    if (line.empty() || line == progress_) return;
    fputs("\r\x1b[K", out_);
    fputs(line.c_str(), out_);
    fflush(out_);
    progress_ = line;
}

void ConsoleUi::endProgressLine() {
    if (!progress_.empty()) {
        fputc('\n', out_);
        progress_.clear();
        fflush(out_);
    }
}

void ConsoleUi::addLogRow(int kind, const std::string& text, int session) {
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    std::string row = formatLogRow(local.tm_hour, local.tm_min, local.tm_sec, session, kind, text);
    std::string shown = progress_;
    clearProgress();
    if (interactive_) {
        const LogColours& c = colours_[kind >= 0 && kind <= 7 ? kind : 1];
        row = ansiColour(38, c.text) + ansiColour(48, c.back) + row + "\x1b[0m";
    }
    fputs(row.c_str(), out_);
    fputc('\n', out_);
    if (!shown.empty()) drawProgress();
    fflush(out_);
}

void ConsoleUi::setControlText(int, const std::string&) {}

void ConsoleUi::setTitle(const std::string& text) {
    title_ = text;
    drawProgress();
}

void ConsoleUi::setStageIcon(int stage) {
    if (onStage) onStage(stage);
}

void ConsoleUi::setTabText(int, const std::string&) {}

void ConsoleUi::refreshDisplay() {
    if (!status) return;
    JobStatus job = status();
    double& ratio = speedRatio ? speedRatio() : ticker_.speedRatio;
    ticker_.speedRatio = ratio;
    static const std::string suffix = " （速度制限中）";
    TickUpdate u = ticker_.tick(job, title_, suffix);
    // The engine paces the speed limit with the ratio the display computes.
    ratio = ticker_.speedRatio;
    if (u.setTitle) title_ = u.title;
    if (u.setElapsed) elapsed_ = u.elapsed;
    if (u.setSpeed) speed_ = u.speed;
    if (u.setRemaining) remaining_ = u.remaining;
    drawProgress();
}

void ConsoleUi::postTargetExists() {
    if (onTargetExists) onTargetExists();
}

bool ConsoleUi::ask(const std::string& question) {
    if (!canAsk_) return false;
    std::string shown = progress_;
    clearProgress();
    fprintf(out_, "%s: %s [y/N] ", loadStringText(50).c_str(), question.c_str());
    fflush(out_);
    std::string line;
    bool yes = readAnswer && readAnswer(line) && (line == "y" || line == "Y" || line == "yes");
    if (!shown.empty()) drawProgress();
    return yes;
}

bool ConsoleUi::askCancelBecauseTargetExists(const std::string& destinationPath) {
    return ask(destinationPath + loadStringText(55));
}

// Closing early on the console is Ctrl-C or a stop, and both keep the file
// for a resume: there is no question to ask.
bool ConsoleUi::askDeleteTempFile() { return false; }

void ConsoleUi::showTooLate() {
    clearProgress();
    fprintf(out_, "%s: %s\n", loadStringText(53).c_str(), loadStringText(52).c_str());
    fflush(out_);
}

void ConsoleUi::showMoveFailed(const std::string& tempPath) {
    clearProgress();
    fprintf(out_, "Dorimel: %s%s%s\n", loadStringText(42).c_str(), tempPath.c_str(), loadStringText(43).c_str());
    fflush(out_);
}

void ConsoleUi::endWindow() {
    if (onEnded) onEnded();
}

void ConsoleUi::finishWindow() {
    if (onFinished) onFinished();
}
