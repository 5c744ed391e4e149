// The HTTP exchange of the download job's sessions, beside the FTP client: the
// HTTP/1.0 request, the response header read byte by byte, the status
// decision table, redirects, the reading of the socket when the server closes
// it, and for https the secure channel (CONNECT tunnel, TLS handshake).
// One object serves both sessions: everything it keeps between two events
// lives in the session record (headerText, inBody, tlsStage), so each call
// names its session. The connection layer routes a plain session socket's
// events here, as it routes an FTP session's to its FtpClient.
// Portable: reaches sockets only through the platform seam (platform/net.h,
// platform/tls.h) and the download through the job operations of
// engine/session_operations.h.
#pragma once

#include <string>

#include "engine/session_operations.h"
#include "engine/transfer_session.h"

// The User-Agent line of every request, the proxy's CONNECT included.
inline constexpr const char kUserAgentLine[] = "User-Agent: Dorimel/0.11";

class HttpExchange {
  public:
    explicit HttpExchange(SessionOperations& job) : job_(job) {}
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    // NET_CONNECT without error: the secure channel of an https session,
    // otherwise the request at once.
    void onConnected(int index);
    // NET_READ without error: one header byte, or a body block.
    void onReadable(int index);
    // NET_CLOSE without error: reads out what the server left, then ends.
    void onClosed(int index);
    // NET_TLS during the handshake (error 0: verified).
    void onHandshakeEnded(int index, int error);

  private:
    // http_exchange.cpp
    // Logs text as a sent line (kind 4) and appends it with CRLF to request.
    void addRequestLine(int index, std::string& request, const std::string& text);
    bool sendAll(int index, const std::string& data);
    void sendRequest(int index);
    bool appendHeaderByte(int index, char byte, bool& parsed);
    bool parseResponse(int index);
    bool followRedirect(int index, const std::string& location);
    // secure_channel.cpp
    bool usesTls(const TransferSession& s);
    void startSecureChannel(int index);
    void parseTunnelReply(int index);
    void beginHandshake(int index);

    SessionOperations& job_;
};
