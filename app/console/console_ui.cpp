// The Linux console front end's DownloadUi: rows on standard error, the
// progress line on a terminal, questions on a terminal. Native only.
#include "app/console/console_ui.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <vector>

#include "app/console/console_text.h"
#include "app/options_file.h"
#include "app/startup.h"
#include "platform/files.h"
#include "state/temp_file_format.h"

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

// Terminal cells of a code point: two for the East Asian wide and full-width
// ranges, one for the rest (the half-width katakana of the window's labels
// included).
int cellsOf(unsigned c) {
    bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || c >= 0x20000;
    return wide ? 2 : 1;
}

// Walks a UTF-8 text character by character: the byte length and cells of
// the character at i.
size_t characterAt(const std::string& text, size_t i, int& cells) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (i + length > text.size()) length = text.size() - i;
    unsigned code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    cells = cellsOf(code);
    return length;
}

int columnsOf(const std::string& text) {
    int used = 0, cells = 0;
    for (size_t i = 0; i < text.size(); used += cells) i += characterAt(text, i, cells);
    return used;
}

// Cuts a UTF-8 line to fit columns terminal cells, so that the progress line
// never wraps: a wrapped line could not be erased by a carriage return.
std::string fitToColumns(const std::string& line, int columns) {
    int used = 0, cells = 0;
    size_t i = 0;
    while (i < line.size()) {
        size_t length = characterAt(line, i, cells);
        if (used + cells > columns) break;
        used += cells;
        i += length;
    }
    return line.substr(0, i);
}

// The title (whose end is the file name) cut with "..." to columns cells.
std::string shortenTitle(const std::string& title, int columns) {
    if (columnsOf(title) <= columns) return title;
    if (columns < 4) return std::string();
    return fitToColumns(title, columns - 3) + "...";
}

int terminalColumns(FILE* out) {
    winsize size;
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col - 1;
    return 79;
}

}  // namespace

std::string terminalSafe(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape = [&](size_t at, size_t length) {
        for (size_t k = at; k < at + length; ++k) {
            unsigned char byte = static_cast<unsigned char>(text[k]);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    };
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F) escape(i, 1);
            else out += char(lead);
            ++i;
            continue;
        }
        size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4                                ? 4
                                                                                      : 0;
        unsigned code = lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
            if ((next & 0xC0) != 0x80) length = 0;
            else code = (code << 6) | (next & 0x3Fu);
            if (length == 0) break;
        }
        if (length == 0) {
            escape(i, 1);  // not UTF-8: a lone 0x9B would be CSI to some terminals
            ++i;
            continue;
        }
        if (code < 0xA0) escape(i, length);  // C1, or a control encoded too long
        else out.append(text, i, length);
        i += length;
    }
    return out;
}

LogColours logColours(const OptionsFile& options, int kind) {
    const ColourKeys& keys = kColourKeys[kind >= 0 && kind <= 7 ? kind : 1];
    return {uint32_t(options.readInt("ListViewColor", keys.text, int32_t(keys.textDefault))),
            uint32_t(options.readInt("ListViewColor", keys.back, int32_t(keys.backDefault)))};
}

std::string formatLogRow(int hour, int minute, int second, int session, int kind, const std::string& text) {
    char time[16];
    snprintf(time, sizeof time, "%02d:%02d:%02d", hour, minute, second);
    // One row is one line: a line break inside a server's text would forge
    // another row, and any other control would reach the terminal.
    std::string flat = text;
    for (char& c : flat)
        if (c == '\n' || c == '\r') c = ' ';
    return std::string(time) + " " + std::to_string(session == 1 ? 1 : 0) + " " + std::to_string(kind) + " " +
           terminalSafe(flat);
}

ConsoleUi::ConsoleUi(FILE* out, bool interactive, bool canAsk, const OptionsFile& options, bool verbose)
    : out_(out), interactive_(interactive), canAsk_(canAsk), verbose_(verbose), options_(options) {
    for (int kind = 0; kind < 8; ++kind) colours_[kind] = logColours(options, kind);
    readAnswer = [](std::string& line) { return bool(std::getline(std::cin, line)); };
    replaceFile = [](const char* from, const char* to) { return std::rename(from, to) == 0; };
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

namespace {

std::string labelled(unsigned labelId, const std::string& value) {
    return value.empty() ? std::string() : loadStringText(labelId) + " " + value;
}

// The title, shortened to leave room for the figures; on a terminal too
// narrow for all figures the last ones go whole rather than cut.
std::string fittedLine(std::string title, std::vector<std::string> figures, int columns) {
    while (!title.empty() && title.back() == ' ') title.pop_back();
    std::string tail;
    for (;;) {
        tail.clear();
        for (const std::string& part : figures)
            if (!part.empty()) tail += "  " + part;
        if (columnsOf(tail) <= columns || figures.size() <= 1) break;
        figures.pop_back();
    }
    return fitToColumns(shortenTitle(title, columns - columnsOf(tail)) + tail, columns);
}

}  // namespace

void ConsoleUi::drawProgress() {
    if (!interactive_ || !status || title_.empty()) return;
    // The figures, labelled as in the window; the title gives way first.
    std::string line = fittedLine(terminalSafe(title_),
                                  {labelled(IDS_LABEL_ELAPSED, elapsed_), labelled(IDS_LABEL_REMAINING, remaining_),
                                   labelled(IDS_LABEL_SPEED, speed_), labelled(IDS_LABEL_RETRIES, retries_)},
                                  terminalColumns(out_));
    if (line.empty() || line == progress_) return;
    fputs("\r\x1b[K", out_);
    fputs(line.c_str(), out_);
    fflush(out_);
    progress_ = line;
}

void ConsoleUi::dropProgressLine() {
    clearProgress();
    fflush(out_);
}

void ConsoleUi::showFinalLine(const std::string& name, uint64_t elapsedMilliseconds, uint64_t bytes) {
    if (!interactive_) return;
    clearProgress();
    // The speed of the bytes this run received over this run's time: after
    // a resume the bytes that were already there do not count.
    double seconds = static_cast<double>(elapsedMilliseconds) / 1000.0;
    double speed = seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0;
    std::string line = fittedLine(terminalSafe(name),
                                  {labelled(IDS_LABEL_ELAPSED, formatDuration(elapsedMilliseconds / 1000)),
                                   labelled(IDS_LABEL_AVERAGE, formatSpeed(speed))},
                                  terminalColumns(out_));
    fprintf(out_, "%s\n", line.c_str());
    fflush(out_);
}

void ConsoleUi::endProgressLine() {
    if (!progress_.empty()) {
        fputc('\n', out_);
        progress_.clear();
        fflush(out_);
    }
}

void ConsoleUi::addLogRow(int kind, const std::string& text, int session) {
    // A terminal shows information, errors, warnings and fatal rows; the
    // request and response lines and the waiting rows only with --verbose.
    if (interactive_ && !verbose_ && kind != 1 && kind != 2 && kind != 6 && kind != 7) return;
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

void ConsoleUi::setControlText(int controlId, const std::string& text) {
    if (controlId != CTRL_RETRIES) return;
    retries_ = text;
    drawProgress();
}

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
    const std::string suffix = loadStringText(IDS_SPEED_LIMITED_SUFFIX);
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
    fprintf(out_, "%s: %s [y/N] ", loadStringText(50).c_str(), terminalSafe(question).c_str());
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

void ConsoleUi::showMoveFailed(const std::string& tempPathText) {
    clearProgress();
    // The names come from the server: shown escaped, used as they are.
    const std::string targetPath = destinationPath ? destinationPath() : std::string();
    const std::string target = terminalSafe(targetPath), tempPath = terminalSafe(tempPathText);
    if (targetPath.empty() || !pathExists(targetPath.c_str())) {
        fprintf(out_, "Dorimel: %s%s%s\n", loadStringText(42).c_str(), tempPath.c_str(), loadStringText(43).c_str());
        fflush(out_);
        return;
    }
    // The name is taken. Someone at the terminal may have it replaced, at
    // once and atomically (rename replaces on POSIX); otherwise nothing is
    // replaced and the complete data stays under the temporary name, which
    // no longer holds a state block.
    if (ask(target + loadStringText(IDS_ASK_REPLACE))) {
        if (replaceFile(tempPathText.c_str(), targetPath.c_str())) {
            replaced_ = true;
            fprintf(out_, "%s\n", fillText(IDS_REPLACED, target).c_str());
            fflush(out_);
            return;
        }
    }
    fprintf(out_, "Dorimel: %s\n", fillText(IDS_NOT_REPLACED, target, tempPath).c_str());
    // Under the temporary name it looks like a download to resume, which
    // it no longer is.
    const std::string suffix = TEMP_FILE_SUFFIX;
    if (tempPath.size() > suffix.size() && tempPath.compare(tempPath.size() - suffix.size(), suffix.size(), suffix) == 0)
        fprintf(out_, "%s\n", loadStringText(IDS_NOT_RESUMABLE).c_str());
    if (!canAsk_) fprintf(out_, "%s\n", loadStringText(IDS_FREE_NAME_HINT).c_str());
    fflush(out_);
}

void ConsoleUi::endWindow() {
    if (onEnded) onEnded();
}

void ConsoleUi::finishWindow() {
    if (onFinished) onFinished();
}
