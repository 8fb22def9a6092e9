// A delay line on loopback: forwards TCP connections from a listening port to a target
// port and holds every chunk a fixed time in each direction, as a database on the
// next machine of a LAN would. Chunks leave in the order they came, each no earlier
// than its arrival plus the delay.
//
// lumora_bench_delayline LISTEN_PORT TARGET_PORT DELAY_MICROSECONDS
// prints "ready" once it listens and runs until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point due;
    std::string data;  // empty: the sender closed its side
};

// One direction of one connection: a reader that stamps chunks and a writer that
// sends each once its time has come.
class Direction {
public:
    Direction(int from, int to, std::chrono::microseconds delay) : m_from(from), m_to(to), m_delay(delay) {}

    void Read() {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const ssize_t n = ::read(m_from, buffer.data(), buffer.size());
            Push(n > 0 ? std::string(buffer.data(), std::size_t(n)) : std::string());
            if (n <= 0) return;
        }
    }

    void Write() {
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock lock(m_mutex);
                m_ready.wait(lock, [&] { return !m_queue.empty(); });
                chunk = std::move(m_queue.front());
                m_queue.pop_front();
            }
            std::this_thread::sleep_until(chunk.due);
            if (chunk.data.empty()) {
                ::shutdown(m_to, SHUT_WR);
                return;
            }
            std::size_t sent = 0;
            while (sent < chunk.data.size()) {
                const ssize_t n = ::write(m_to, chunk.data.data() + sent, chunk.data.size() - sent);
                if (n <= 0) return;
                sent += std::size_t(n);
            }
        }
    }

private:
    void Push(std::string data) {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({Clock::now() + m_delay, std::move(data)});
        m_ready.notify_one();
    }

    int m_from, m_to;
    std::chrono::microseconds m_delay;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Chunk> m_queue;
};

void NoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void Serve(int client, int targetPort, std::chrono::microseconds delay) {
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(targetPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(client);
        ::close(server);
        return;
    }
    NoDelay(client);
    NoDelay(server);
    Direction up(client, server, delay), down(server, client, delay);
    std::thread threads[] = {std::thread(&Direction::Read, &up), std::thread(&Direction::Write, &up),
                             std::thread(&Direction::Read, &down), std::thread(&Direction::Write, &down)};
    for (auto& t : threads) t.join();
    ::close(client);
    ::close(server);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lumora_bench_delayline LISTEN_PORT TARGET_PORT DELAY_MICROSECONDS\n");
        return 2;
    }
    const int listenPort = std::atoi(argv[1]);
    const int targetPort = std::atoi(argv[2]);
    const std::chrono::microseconds delay(std::atol(argv[3]));
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(listenPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0) {
        std::perror("lumora_bench_delayline");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::thread(Serve, client, targetPort, delay).detach();
    }
}
