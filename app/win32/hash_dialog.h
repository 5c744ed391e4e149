// HashDialog: the hash dialog (template 124). After the download it computes
// the file's MD5, SHA-1 or SHA-256 digest on a worker thread, shows progress and digest
// and compares it with the typed value; before the file is in place it only
// records a value typed in advance. Windows side.
//
// Use from the download window's hash menu (commands 50014-50019):
//   runHashDialog(windowHandle, HASH_MD5, targetDir + targetFile,
//                 job.moveSucceeded != 0, job.enteredMd5, job.enteredSha1, job.enteredSha256);
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/hash_file.h"
#include "app/win32/dialog.h"

// Private messages from the worker (the application message range).
enum : UINT {
    WM_HASH_DONE = 0x8005,      // posted: finished, with or without a digest, no error to show
    WM_HASH_PROGRESS = 0x8006,  // sent without waiting: wParam = percentage 0-100
    WM_HASH_ERROR = 0x8007,     // posted: failed, errorText says why
};

class HashDialog : public Dialog {
  public:
    // fileMoved: the finished file is in place, so the worker runs.
    HashDialog(const std::string& filePath, HashKind kind, bool fileMoved);
    // Waits for a worker that is still running.
    ~HashDialog() override;

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    Text enteredMd5;
    Text enteredSha1;
    Text enteredSha256;

  private:
    static DWORD WINAPI workerEntry(LPVOID parameter);
    void runWorker();
    BOOL onInitDialog();
    void onClose();
    void compare();
    void joinWorker();
    Text& entered();  // the entered value of the dialog's kind

    // Read by the worker.
    const std::string filePath_;
    const HashKind kind_;
    std::atomic<int32_t> cancel_{0};
    // Written by the worker; read by the dialog only after WM_HASH_DONE or
    // WM_HASH_ERROR arrived or after the worker ended.
    int resultFlag_ = 1;
    std::string errorText_;
    std::string digestText_;

    const bool fileMoved_;
    HANDLE thread_ = nullptr;
};

// Runs the dialog modally for one use: the entered values are taken from and
// copied back to the job's "EnteredMD5", "EnteredSHA1" and "EnteredSHA256".
void runHashDialog(HWND owner, HashKind kind, const std::string& filePath, bool fileMoved,
                   std::string& enteredMd5, std::string& enteredSha1, std::string& enteredSha256);
