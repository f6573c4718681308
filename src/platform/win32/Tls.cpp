#include "platform/Tls.h"

// TLS is not built into the Windows program yet: every session fails to
// start, and the other members are never reached.
namespace platform {

struct TlsSession::State {};

TlsSession::TlsSession(std::unique_ptr<State> state) : m_State(std::move(state)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Start(Socket, const TlsPeer&, Deadline, TlsResult* result,
                                              std::string* why)
{
    *result = TlsResult::HANDSHAKE_FAILED;
    *why = "TLS is not built into this program";
    return nullptr;
}

IoStatus TlsSession::Send(const SendPiece*, std::size_t, Deadline)
{
    return IoStatus::FAILED;
}

IoStatus TlsSession::Receive(char*, std::size_t, Deadline, std::size_t* received)
{
    *received = 0;
    return IoStatus::FAILED;
}

bool TlsSession::HasPendingBytes() const
{
    return false;
}

std::string TlsSession::Description() const
{
    return "";
}

void TlsSession::Shutdown(Deadline) {}

}  // namespace platform
