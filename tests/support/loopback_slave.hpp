// A libmodbus TCP slave on a loopback port in a thread of the test, with
// a fault or two: a wrong echo for single writes, and dropping connections.
#pragma once

#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

class LoopbackSlave {
public:
    LoopbackSlave() : mapping_(modbus_mapping_new(3000, 0, 3000, 0))
    {
        ctx_ = modbus_new_tcp("127.0.0.1", 0);
        listener_ = modbus_tcp_listen(ctx_, 4);
        if (listener_ < 0) throw std::runtime_error("cannot listen on loopback");
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackSlave()
    {
        stop_ = true;
        thread_.join();
        for (int fd : clients_) ::close(fd);
        ::close(listener_);
        modbus_free(ctx_);
        modbus_mapping_free(mapping_);
    }

    int port() const { return port_; }
    modbus_mapping_t* mapping() { return mapping_; }
    void corrupt_single_write_echo(bool on) { corrupt_echo_ = on; }
    void drop_connections() { drop_ = true; }
    long requests() const { return requests_; }

private:
    void serve()
    {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listener_, &set);
            int top = listener_;
            for (int fd : clients_) {
                FD_SET(fd, &set);
                if (fd > top) top = fd;
            }
            timeval wait{0, 20000};
            if (select(top + 1, &set, nullptr, nullptr, &wait) <= 0) continue;
            if (drop_.exchange(false)) {
                for (int fd : clients_) ::close(fd);
                clients_.clear();
                continue;
            }
            if (FD_ISSET(listener_, &set)) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd >= 0) clients_.push_back(fd);
            }
            for (size_t i = 0; i < clients_.size();) {
                if (FD_ISSET(clients_[i], &set) && !answer(clients_[i])) {
                    ::close(clients_[i]);
                    clients_.erase(clients_.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
        }
    }

    bool answer(int fd)
    {
        modbus_set_socket(ctx_, fd);
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        const int length = modbus_receive(ctx_, query);
        if (length <= 0) return false;
        ++requests_;
        const int header = modbus_get_header_length(ctx_);
        const uint8_t function = query[header];
        if (corrupt_echo_ && (function == 0x05 || function == 0x06)) {
            uint8_t reply[12];
            std::memcpy(reply, query, 12);
            reply[header + 4] ^= 0x01;  // echo a value the master did not write
            return ::send(fd, reply, static_cast<size_t>(header + 5), 0) > 0;
        }
        return modbus_reply(ctx_, query, length, mapping_) >= 0;
    }

    modbus_mapping_t* mapping_;
    modbus_t* ctx_;
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> clients_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> corrupt_echo_{false};
    std::atomic<bool> drop_{false};
    std::atomic<long> requests_{0};
    std::thread thread_;
};
