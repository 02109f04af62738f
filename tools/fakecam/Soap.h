#pragma once

#include <memory>
#include <thread>

#include "Options.h"

namespace httplib {
class Server;
}

namespace fakecam {

// The simulated devices' device and media services over HTTP.
class SoapServer {
public:
    explicit SoapServer(const Options& o);
    ~SoapServer();
    bool Start();  // binds and serves on a thread of its own
    void Stop();

private:
    Options m_options;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
};

}  // namespace fakecam
