#include "Soap.h"

#include <httplib.h>

namespace fakecam {

SoapServer::SoapServer(const Options& o) : m_options(o), m_server(std::make_unique<httplib::Server>()) {}

SoapServer::~SoapServer() { Stop(); }

bool SoapServer::Start() {
    if (!m_server->bind_to_port(m_options.bind, m_options.httpPort)) return false;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    return true;
}

void SoapServer::Stop() {
    m_server->stop();
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace fakecam
