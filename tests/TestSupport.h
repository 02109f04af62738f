#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace quorvi::test {

struct ProcessResult {
    int exitCode = -1;  // -1: killed or did not end in time
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after `timeout`), capturing its output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A helper process kept running for a test, e.g. fakecam; stopped and reaped on destruction.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until a line of its output contains `text`; false after `timeout`.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::string Output();  // everything it printed so far
    // Sends `signal` and waits for the process to end, reading what it prints meanwhile. Its exit status,
    // 128 + N when signal N ended it, or -1 when it did not end in time (then it is killed).
    int Interrupt(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Stop();

private:
    void Pump(std::chrono::milliseconds wait);
    int m_pid = -1;
    int m_outFd = -1;
    std::string m_out;
};

// Refuses to go on outside the private test network: nothing may be sent from the machine's own interfaces.
void RequirePrivateNetwork();

std::string FakecamPath();
std::string CliPath();

}  // namespace quorvi::test
