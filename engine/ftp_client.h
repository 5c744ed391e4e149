// The FTP client of one transfer session: the passive-mode dialogue on the
// control connection as a table over the session's ftpPhase, and the data
// connection that carries the file into the engine's receive path.
// Portable: reaches sockets only through the platform seam (platform/net.h)
// and the download through the job operations of engine/session_operations.h.
#pragma once

#include <memory>
#include <string>

#include "engine/session_operations.h"
#include "engine/transfer_session.h"

// FTP phases of a session (persisted as "FtpPhase", so the numbers are fixed;
// 9 is not used). Each names the command sent on entering it.
enum : int {
    FTP_IDLE = 0,               // no dialogue
    FTP_GREETING = 1,           // control connection made, waiting for the greeting
    FTP_USER = 2,               // "USER " sent
    FTP_PASS = 3,               // "PASS " sent
    FTP_TYPE_I = 4,             // "TYPE I" sent
    FTP_SIZE = 5,               // "SIZE " sent
    FTP_TYPE_A = 6,             // "TYPE A" sent: the size could not be learned
    FTP_PASV_UNSIZED = 7,       // "PASV" sent after "TYPE A"
    FTP_DATA_UNSIZED = 8,       // data connection being opened, size unknown
    FTP_PASV = 10,              // "PASV" sent after a successful "SIZE"
    FTP_DATA = 11,              // data connection being opened, size known
    FTP_REST = 12,              // "REST " sent
    FTP_RETR = 13,              // "RETR " sent
    FTP_QUIT = 14,              // "QUIT" sent at the end of the transfer
    FTP_CLOSED = 15,            // control connection closed by the client
    FTP_TRANSFER = 16,          // data flowing, waiting for the transfer's final reply
    FTP_QUIT_AFTER_ERROR = 17,  // "QUIT" sent after an unexpected reply
};

// Longest control-connection line kept; the rest of a longer line is dropped
// so that a server cannot make the client grow without bound.
inline constexpr size_t FTP_MAX_LINE = 8192;

class FtpClient : public FtpHandler {
  public:
    FtpClient(SessionOperations& job, int session);
    ~FtpClient() override;

    void onControlConnected() override;
    void onControlReadable() override;
    void onControlClosed() override;
    void onDataConnected() override;
    SocketHandle dataSocket() const override { return dataSocket_; }
    void closeDataSocket() override;
    bool reportedEmptyFile() const override { return reportedEmpty_; }

    // Examines the completed reply line: logs it, moves ftpPhase on and
    // returns the phase whose command is to be sent, or 0 for none.
    int handleReply();
    // Sends the command of phase (nothing for phases without one).
    void sendPhaseCommand(int phase);
    // The text being received on the control connection.
    const std::string& lineBuffer() const { return line_; }

  private:
    TransferSession& session() const;
    int& phase() const { return session().ftpPhase; }
    // Logs text (kind 4) and sends it with "\r\n" in one send; false (after
    // the row [14] and the end of the session) when the send did not take it
    // whole.
    bool sendCommand(const std::string& text, const std::string& logged);
    int sizeRule(const std::string& line);
    int passiveRule(const std::string& line, int next);
    void openDataConnection(const std::string& address, uint16_t port);
    void connectData(const NetAddress& peer, uint16_t port);
    // EPSV instead of PASV: the control connection runs over IPv6, where
    // PASV's reply cannot name an address.
    bool extendedPassive() const;
    int restartRefusedRule();
    int transferStartRule();
    int transferEndRule();
    int closingRule();
    int unexpectedReply();
    int afterErrorRule();
    int ftpReplyError();
    void closeControlSocket();
    // Gives the second half of a split download up (session 1 only).
    void giveUpSecondHalf();

    SessionOperations& job_;
    int index_;
    SocketHandle dataSocket_ = NO_SOCKET;
    std::string line_;
    // Set while the "QUIT" after a refused restart offset is under way: once
    // the control connection is closed the job stops (the file is kept).
    bool stopAfterQuit_ = false;
    bool reportedEmpty_ = false;  // "SIZE" answered exactly 0 for a new download
    // False once this object is destroyed: the engine operations it calls
    // (retry, end of the session) destroy it, and the caller must not touch
    // its members afterwards.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The factory the download job uses for FTP sessions.
std::unique_ptr<FtpHandler> createFtpHandler(SessionOperations& job, int session);
