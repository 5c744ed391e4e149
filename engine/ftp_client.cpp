// The FTP client of one transfer session (see ftp_client.h): the dialogue on
// the control connection, read one byte per read event, as a table over the
// session's ftpPhase; the passive data connection; the rules that end,
// retry or stop the session through the download job.
// Portable: the engine side of the platform seam.
#include "engine/ftp_client.h"

#include <cinttypes>

#include "engine/engine_text.h"
#include "platform/system.h"
#include "protocol/ftp_reply.h"
#include "protocol/url.h"

// String-table IDs of the rows this client writes.
enum : unsigned {
    IDS_URL_INVALID = 2,
    IDS_SOCKET_FAILED = 8,
    IDS_SELECT_FAILED = 9,
    IDS_CONNECTING = 12,
    IDS_SEND_FAILED = 14,
    IDS_RECEIVE_FAILED = 16,
    IDS_DOWNLOAD_STARTED = 17,
    IDS_CONNECT_FAILED = 26,
    IDS_CLOSED = 38,
    IDS_SIZE_MISMATCH = 69,
    IDS_NO_RESUME = 71,
    IDS_RESTART = 72,
    IDS_TRANSFER_DONE = 81,
    IDS_CONTROL_CLOSED = 82,
    IDS_UNEXPECTED_REPLY = 83,
    IDS_DATA_CONNECTED = 84,
    IDS_ERROR_REPLY = 85,
    IDS_PASSIVE_ADDRESS_IGNORED = 110,
};

FtpClient::FtpClient(SessionOperations& job, int session) : job_(job), index_(session) {}

FtpClient::~FtpClient() {
    *alive_ = false;
    closeDataSocket();
}

std::unique_ptr<FtpHandler> createFtpHandler(SessionOperations& job, int session) {
    return std::unique_ptr<FtpHandler>(new FtpClient(job, session));
}

TransferSession& FtpClient::session() const {
    return job_.session(index_);
}

void FtpClient::closeDataSocket() {
    if (dataSocket_ == NO_SOCKET) return;
    SocketHandle socket = dataSocket_;
    dataSocket_ = NO_SOCKET;
    socketSelect(socket, SOCKET_ROUTE_DATA, 0);
    socketShutdown(socket);
    socketClose(socket);
}

void FtpClient::closeControlSocket() {
    TransferSession& s = session();
    if (s.socket == NO_SOCKET) return;
    SocketHandle socket = s.socket;
    s.socket = NO_SOCKET;
    socketSelect(socket, SOCKET_ROUTE_SESSION, 0);
    socketShutdown(socket);
    socketClose(socket);
}

// ---- Control connection ----------------------------------------------------

void FtpClient::onControlConnected() {
    line_.clear();
    job_.reloadTimeout(index_);
}

void FtpClient::onControlReadable() {
    TransferSession& s = session();
    if (s.socket == NO_SOCKET) return;
    char byte = 0;
    // One byte per event: the platform reports the next byte with a new read
    // event, and a reply line never takes more than the reader needs.
    int result = socketRecv(s.socket, &byte, 1);
    if (result < 0) {
        int error = netLastError();
        if (error == WSAEWOULDBLOCK) return;
        job_.log(LOG_FATAL, engineString(IDS_RECEIVE_FAILED) + errorText(error), index_);
        job_.scheduleRetry(index_);
        return;
    }
    if (result == 0) return;  // the close event follows
    job_.reloadTimeout(index_);
    if (byte == '\0') byte = ' ';
    if (byte == '\r') return;
    if (byte != '\n') {
        if (line_.size() < FTP_MAX_LINE) line_.push_back(byte);
        return;
    }
    std::shared_ptr<bool> alive = alive_;
    int next = handleReply();
    if (!*alive) return;
    sendPhaseCommand(next);
    if (!*alive) return;
    line_.clear();
}

void FtpClient::onControlClosed() {
    int current = phase();
    if (current == FTP_IDLE) return;
    if (current == FTP_QUIT) {
        // The server closed instead of answering "QUIT": after a refused
        // restart offset that is the end of the attempt as well.
        closeControlSocket();
        if (stopAfterQuit_) job_.endSession(index_, true);
        return;
    }
    TransferSession& s = session();
    std::string rest = line_;
    if (s.socket != NO_SOCKET) {
        char* buffer = SessionOperations::receiveBuffer();
        int result = socketRecv(s.socket, buffer, RECEIVE_CHUNK);
        if (result > 0) rest.append(buffer, static_cast<size_t>(result));
    }
    line_.clear();
    // The server's last words are shown even when their line was cut off.
    if (!rest.empty() && rest.back() != '\r' && rest.back() != '\n') rest += '\n';
    for (const std::string& line : splitReplyLines(rest.data(), rest.size()))
        job_.log(LOG_RECEIVED, line, index_);
    ftpReplyError();
}

// ---- Replies -----------------------------------------------------------------

int FtpClient::handleReply() {
    const std::string line = line_;
    job_.log(LOG_RECEIVED, line, index_);
    if (!isFinalFtpReply(line)) return 0;
    int cls = ftpReplyClass(line);
    auto moveTo = [this](int next) {
        phase() = next;
        return next;
    };
    switch (phase()) {
        case FTP_GREETING:
            if (cls == 1) return 0;
            if (cls == 2) return moveTo(FTP_USER);
            return ftpReplyError();
        case FTP_USER:
            if (cls == 1) return 0;
            if (cls == 2) return moveTo(FTP_TYPE_I);
            if (cls == 3) return moveTo(FTP_PASS);
            return ftpReplyError();
        case FTP_PASS:
            if (cls == 1) return 0;
            if (cls == 2) return moveTo(FTP_TYPE_I);
            return ftpReplyError();
        case FTP_TYPE_I:
            if (cls == 1) return 0;
            if (cls == 2) return moveTo(FTP_SIZE);
            return unexpectedReply();
        case FTP_SIZE:
            if (cls == 1) return 0;
            if (cls == 2) return sizeRule(line);
            return moveTo(FTP_TYPE_A);
        case FTP_TYPE_A:
            if (cls == 1) return 0;
            if (cls == 2 || cls == 3) return moveTo(FTP_PASV_UNSIZED);
            return unexpectedReply();
        case FTP_PASV_UNSIZED:
            if (cls == 1) return 0;
            if (cls == 2) return passiveRule(line, FTP_DATA_UNSIZED);
            return unexpectedReply();
        case FTP_PASV:
            if (cls == 1) return 0;
            if (cls == 2) return passiveRule(line, FTP_DATA);
            return unexpectedReply();
        case FTP_REST:
            if (cls == 1) return 0;
            if (cls == 2 || cls == 3) return moveTo(FTP_RETR);
            if (cls == 4 || cls == 5) return restartRefusedRule();
            return unexpectedReply();
        case FTP_RETR:
            if (cls == 1) return transferStartRule();
            if (cls == 2) {
                // The server reports the end before announcing the transfer: the
                // file is waiting on the data connection (or was empty), so read
                // it as a started transfer and end the dialogue.
                std::shared_ptr<bool> alive = alive_;
                int started = transferStartRule();
                if (!*alive || started == 0) return 0;
                return moveTo(FTP_QUIT);
            }
            return unexpectedReply();
        case FTP_QUIT:
            if (cls == 1) return 0;
            return closingRule();
        case FTP_TRANSFER:
            if (cls == 2) return transferEndRule();
            return 0;
        case FTP_QUIT_AFTER_ERROR:
            return afterErrorRule();
        default:  // FTP_IDLE, FTP_DATA_UNSIZED, FTP_DATA, FTP_CLOSED
            return unexpectedReply();
    }
}

int FtpClient::sizeRule(const std::string& line) {
    TransferSession& s = session();
    int64_t size = ftpReplySize(line);
    if (size < 1) {
        // A size of 0 takes the unsized way like any other, but is remembered:
        // the empty transfer it leads to is then the whole file.
        reportedEmpty_ = size == 0 && line.size() > 4 && line[4] >= '0' && line[4] <= '9' &&
                         s.phase == PHASE_REQUESTING && s.position == 0 &&
                         !job_.settings().resuming && index_ == 0;
        phase() = FTP_TYPE_A;
        return FTP_TYPE_A;
    }
    if (s.phase == PHASE_TRANSFERRING) {
        int64_t length = job_.record().contentLength;
        if (size != length) {
            job_.log(LOG_FATAL, engineString(IDS_SIZE_MISMATCH), index_);
            job_.endSession(index_, true);
            return 0;
        }
        if (index_ == 1) {
            uint64_t meeting = static_cast<uint64_t>(length / 2 + 1);
            TransferSession& first = job_.session(0);
            if (first.position <= meeting) {
                first.rangeEnd = static_cast<int64_t>(meeting);
            } else {
                // Session 0 is already past the middle: it takes the rest.
                s.phase = PHASE_IDLE;
                closeControlSocket();
                job_.log(LOG_INFO, engineString(IDS_CLOSED), index_);
                phase() = FTP_IDLE;
                return 0;
            }
        }
        phase() = FTP_PASV;
        return FTP_PASV;
    }
    if (s.phase == PHASE_REQUESTING) {
        if (s.position != 0 || job_.settings().resuming) {
            // A download that continues (a resumed job, whose sessions start
            // with a new lookup): its size is already fixed.
            int64_t length = job_.record().contentLength;
            if (length < 0) {
                // It began without a size and continues without one: a size
                // learned now would empty the file under the data received.
                phase() = FTP_TYPE_A;
                return FTP_TYPE_A;
            }
            if (size != length) {
                // Another file now: its bytes must not be joined to the old ones.
                job_.log(LOG_FATAL, engineString(IDS_SIZE_MISMATCH), index_);
                job_.endSession(index_, true);
                return 0;
            }
        } else {
            job_.setContentLength(size);
        }
        s.phase = PHASE_TRANSFERRING;
        phase() = FTP_PASV;
        return FTP_PASV;
    }
    job_.endSession(index_, false);  // destroys this client
    return 0;
}

bool FtpClient::extendedPassive() const {
    return session().address.family == NET_FAMILY_IPV6;
}

int FtpClient::passiveRule(const std::string& line, int next) {
    std::shared_ptr<bool> alive = alive_;
    if (extendedPassive()) {
        // The data connection goes to the control connection's peer, on the
        // port of the reply.
        uint16_t port = 0;
        if (!parseEpsvReply(line, port)) return unexpectedReply();
        phase() = next;
        connectData(session().address, port);
    } else {
        PassiveAddress named;
        if (!parsePasvReply(line, named)) return unexpectedReply();
        phase() = next;
        openDataConnection(named.address, named.port);
    }
    if (!*alive) return 0;
    return next;
}

void FtpClient::openDataConnection(const std::string& address, uint16_t port) {
    TransferSession& s = session();
    uint32_t namedAddress = parseDottedAddress(address.c_str());
    if (namedAddress == INADDR_NONE) {
        job_.log(LOG_FATAL, engineString(IDS_SELECT_FAILED) + errorText(netLastError()), index_);
        return;
    }
    // The data connection goes to the server of the control connection. The
    // address in the reply is only compared: a server must not be able to
    // send the client to a third host, and behind NAT it often names a
    // private address that cannot be reached.
    NetAddress peer = s.address.known() ? s.address : NetAddress::ipv4(namedAddress);
    if (NetAddress::ipv4(namedAddress) != peer)
        job_.log(LOG_WARNING, engineString(IDS_PASSIVE_ADDRESS_IGNORED) + address, index_);
    connectData(peer, port);
}

void FtpClient::connectData(const NetAddress& peer, uint16_t port) {
    closeDataSocket();
    SocketHandle socket = socketCreateFor(peer.family);
    if (socket == NO_SOCKET) {
        job_.log(LOG_FATAL, engineString(IDS_SOCKET_FAILED) + errorText(netLastError()), index_);
        return;
    }
    dataSocket_ = socket;
    if (socketSelect(socket, SOCKET_ROUTE_DATA, NET_CONNECT) == SOCKET_ERROR) {
        job_.log(LOG_FATAL, engineString(IDS_SELECT_FAILED) + errorText(netLastError()), index_);
        closeDataSocket();
        return;
    }
    if (socketConnectTo(socket, peer, port) == SOCKET_ERROR && netLastError() != WSAEWOULDBLOCK) {
        job_.log(LOG_FATAL, engineString(IDS_CONNECT_FAILED) + errorText(netLastError()), index_);
        closeDataSocket();
        job_.setStage(STAGE_ENDED);
        return;
    }
    job_.log(LOG_INFO, engineString(IDS_CONNECTING), index_);
}

void FtpClient::onDataConnected() {
    if (phase() != FTP_DATA && phase() != FTP_DATA_UNSIZED) return;
    TransferSession& s = session();
    job_.log(LOG_INFO, engineString(IDS_DATA_CONNECTED), index_);
    // The restart offset is sent in every download, 0 included.
    std::string rest = "REST " + formatText("%" PRIu64, s.position);
    if (!sendCommand(rest, rest)) return;
    phase() = FTP_REST;
}

int FtpClient::restartRefusedRule() {
    TransferSession& s = session();
    if (s.phase == PHASE_TRANSFERRING && s.position == 0) {
        // "REST 0" refused: nothing is to be skipped, so this is no refused
        // resume. The file is fetched from its start.
        job_.log(LOG_WARNING, engineString(IDS_NO_RESUME), index_);
        phase() = FTP_RETR;
        return FTP_RETR;
    }
    if (s.phase == PHASE_TRANSFERRING && index_ == 0) {
        job_.log(LOG_WARNING, engineString(IDS_NO_RESUME), index_);
        if (job_.settings().downloadOptions.has(FLAG_RESTART_IF_NO_RESUME)) {
            job_.log(LOG_INFO, engineString(IDS_RESTART), index_);
            // The file and the block map start again too: the data already
            // there would otherwise block the writes from byte 0.
            job_.restartFromZero(index_, job_.record().contentLength);
            phase() = FTP_RETR;
            return FTP_RETR;
        }
        stopAfterQuit_ = true;
        phase() = FTP_QUIT;
        return FTP_QUIT;
    }
    if (s.phase == PHASE_TRANSFERRING) {
        job_.log(LOG_WARNING, engineString(IDS_NO_RESUME), index_);
        giveUpSecondHalf();
        phase() = FTP_QUIT;
        return FTP_QUIT;
    }
    if (s.phase == PHASE_REQUESTING) {
        job_.log(LOG_WARNING, engineString(IDS_NO_RESUME), index_);
        if (s.position != 0) {
            // Continuing a download of unknown size: fetching from the start
            // would write the file's start at the wrong place. Keep the file
            // and stop.
            stopAfterQuit_ = true;
            phase() = FTP_QUIT;
            return FTP_QUIT;
        }
        s.phase = PHASE_TRANSFERRING;
        phase() = FTP_RETR;
        return FTP_RETR;
    }
    return unexpectedReply();
}

// Session 1 cannot fetch the second half: session 0 takes the whole rest.
void FtpClient::giveUpSecondHalf() {
    if (index_ != 1) return;
    TransferSession& s = session();
    TransferSession& first = job_.session(0);
    s.phase = PHASE_IDLE;
    s.position = 0;
    s.inBody = false;
    int64_t length = job_.record().contentLength;
    if (first.phase != PHASE_IDLE) {
        first.rangeEnd = length;
    } else if (length > 0 && static_cast<int64_t>(first.position) < length) {
        // Session 0 already stopped at the meeting point: it goes on from
        // there after the retry wait.
        first.rangeEnd = length;
        first.phase = PHASE_TRANSFERRING;
        job_.scheduleRetry(0);
    }
}

int FtpClient::transferStartRule() {
    TransferSession& s = session();
    s.inBody = true;
    job_.log(LOG_INFO, engineString(IDS_DOWNLOAD_STARTED), index_);
    if (dataSocket_ == NO_SOCKET ||
        socketSelect(dataSocket_, SOCKET_ROUTE_DATA, NET_ALL) == SOCKET_ERROR) {
        job_.log(LOG_FATAL, engineString(IDS_SELECT_FAILED) + errorText(netLastError()), index_);
        job_.scheduleRetry(index_);
        return 0;
    }
    phase() = FTP_TRANSFER;
    return FTP_TRANSFER;
}

int FtpClient::transferEndRule() {
    job_.log(LOG_INFO, engineString(IDS_TRANSFER_DONE), index_);
    phase() = FTP_QUIT;
    DownloadOptions& options = job_.settings().downloadOptions;
    if (options.has(FLAG_SPEED_LIMIT) && job_.ui().autoCancelFtpSpeedLimit()) {
        std::shared_ptr<bool> alive = alive_;
        options.set(FLAG_SPEED_LIMIT, false);
        job_.speedLimitSwitchedOff();
        if (!*alive) return 0;
    }
    return FTP_QUIT;
}

int FtpClient::closingRule() {
    closeControlSocket();
    job_.log(LOG_INFO, engineString(IDS_CONTROL_CLOSED), index_);
    phase() = FTP_CLOSED;
    if (stopAfterQuit_) {
        job_.endSession(index_, true);
        return 0;
    }
    return FTP_CLOSED;
}

int FtpClient::unexpectedReply() {
    job_.log(LOG_ERROR, engineString(IDS_UNEXPECTED_REPLY), index_);
    phase() = FTP_QUIT_AFTER_ERROR;
    return FTP_QUIT_AFTER_ERROR;
}

int FtpClient::afterErrorRule() {
    phase() = FTP_IDLE;
    if (job_.settings().downloadOptions.has(FLAG_RETRY_ON_ERROR))
        job_.scheduleRetry(index_);
    else
        job_.endSession(index_, true);
    return 0;
}

int FtpClient::ftpReplyError() {
    TransferSession& s = session();
    if (index_ == 1 && s.position == s.lastSamplePosition) {
        // The second half of a split download is given up quietly (a server
        // that refuses a second log-in, for example).
        job_.log(LOG_INFO, engineString(IDS_NO_RESUME), index_);
        job_.log(LOG_INFO, engineString(IDS_CLOSED), index_);
        closeControlSocket();
        closeDataSocket();
        phase() = FTP_IDLE;
        // A retry of the second half may fail after its first attempt had
        // already moved session 0's end to the middle: session 0 gets the
        // whole rest back.
        giveUpSecondHalf();
        return 0;
    }
    job_.log(LOG_ERROR, engineString(IDS_ERROR_REPLY), index_);
    phase() = FTP_IDLE;
    if (job_.settings().downloadOptions.has(FLAG_RETRY_ON_ERROR))
        job_.scheduleRetry(index_);
    else
        job_.endSession(index_, true);
    return 0;
}

// ---- Commands --------------------------------------------------------------

bool FtpClient::sendCommand(const std::string& text, const std::string& logged) {
    TransferSession& s = session();
    if (text.find_first_of("\r\n") != std::string::npos) {
        // A line end inside a URL piece would smuggle a second command in.
        job_.log(LOG_ERROR, engineString(IDS_URL_INVALID), index_);
        job_.endSession(index_, true);
        return false;
    }
    job_.log(LOG_SENT, logged, index_);
    std::string wire = text + "\r\n";
    int sent = socketSend(s.socket, wire.data(), wire.size());
    if (sent != static_cast<int>(wire.size())) {
        job_.log(LOG_ERROR, engineString(IDS_SEND_FAILED) + errorText(netLastError()), index_);
        job_.endSession(index_, false);
        return false;
    }
    job_.reloadTimeout(index_);
    return true;
}

void FtpClient::sendPhaseCommand(int next) {
    TransferSession& s = session();
    if (s.socket == NO_SOCKET) return;
    switch (next) {
        case FTP_USER: {
            std::string user = urlUserName(s.url);
            std::string command = "USER " + (user.empty() ? std::string("anonymous") : user);
            sendCommand(command, command);
            break;
        }
        case FTP_PASS: {
            std::string password =
                urlUserName(s.url).empty() ? job_.settings().AnonyPass : urlPassword(s.url);
            sendCommand("PASS " + password, std::string("PASS ") + FTP_PASSWORD_MASK);
            break;
        }
        case FTP_TYPE_I:
            sendCommand("TYPE I", "TYPE I");
            break;
        case FTP_TYPE_A:
            sendCommand("TYPE A", "TYPE A");
            break;
        case FTP_SIZE: {
            std::string command = "SIZE " + urlRequestPath(s.url);
            sendCommand(command, command);
            break;
        }
        case FTP_PASV_UNSIZED:
        case FTP_PASV:
            if (extendedPassive()) sendCommand("EPSV", "EPSV");
            else sendCommand("PASV", "PASV");
            break;
        case FTP_RETR: {
            std::string command = "RETR " + urlRequestPath(s.url);
            sendCommand(command, command);
            break;
        }
        case FTP_QUIT:
        case FTP_QUIT_AFTER_ERROR:
            sendCommand("QUIT", "QUIT");
            break;
        default:
            break;
    }
}
