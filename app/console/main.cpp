// Entry point of the Linux console front end: the language, --help and
// --version, start-up, then the download, then the digests given with
// --md5/--sha1/--sha256 checked on the finished file. Native only.
#include <cstdio>
#include <string>
#include <vector>

#include "app/console/console_run.h"
#include "app/console/console_startup.h"
#include "app/console/console_text.h"
#include "app/digest_check.h"

int main(int argc, char** argv) {
    selectConsoleLanguage();
    ConsoleFlags flags;
    takeConsoleFlags(argc, argv, flags);
    if (flags.help || flags.version) {
        fputs((flags.help ? helpText() : versionText()).c_str(), stdout);
        return 0;
    }
    // The digest options are the console's own: they leave argv before the
    // shared grammar (which would call them unknown options) sees it.
    std::vector<DigestCheck> checks;
    std::string error;
    if (!takeDigestOptions(argc, argv, checks, error)) {
        fprintf(stderr, "dorimel: %s\n", error.c_str());
        return EXIT_STARTUP_ERROR;
    }
    AppSettings settings;
    // The run owns the job, so that a temporary-file argument loads into it.
    ConsoleRun run(settings, flags.verbose);
    const int exitCode = startConsole(argc, argv, settings, run.tempFileLoader());
    if (exitCode >= 0) return exitCode;
    // Exit codes: 0 when the file was finished and moved into place, 1 when
    // the download stopped or failed, 3 when the finished file does not match
    // a digest given on the command line.
    const int result = run.run(argc > 0 ? argv[0] : "dorimel");
    if (result != EXIT_FINISHED || checks.empty()) return result;
    std::string report;
    const bool matched = verifyFinishedFile(run.finishedPath(), checks, report);
    fputs(report.c_str(), stderr);
    return matched ? EXIT_FINISHED : EXIT_DIGEST_MISMATCH;
}
