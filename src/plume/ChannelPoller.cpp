#include "ChannelPoller.h"

#include "Exception.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Plume {

ObjPtr<ChannelPoller> ChannelPoller::newInstance() { return makeObj<ChannelPoller>(); }

ChannelPoller::ChannelPoller() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake_) throw CException(4, 3, "Cannot create the wake-up eventfd of a channel poller");
}

ChannelPoller::~ChannelPoller() = default;

ChannelPoller::Entry* ChannelPoller::find(const Channel* channel) {
    for (Entry& e : entries_)
        if (e.channel.get() == channel) return &e;
    return nullptr;
}

void ChannelPoller::registerChannel(const ObjPtr<Channel>& channel, const ObjPtr<PollEventHandler>& handler,
                                    int events) {
    if (!channel) throw Exception(4, 3, "ChannelPoller: cannot register a null channel.");
    if (!handler)
        throw Exception(4, 3, "ChannelPoller: no handler given for channel %s.", channel->getName().c_str());
    if (!channel->isOpen())
        throw Exception(4, 3, "ChannelPoller: channel %s is closed.", channel->getName().c_str());
    if (Entry* e = find(channel.get())) {
        e->handler = handler;
        e->events = events;
        return;
    }
    entries_.push_back(Entry{channel, handler, events});
}

bool ChannelPoller::unregisterChannel(const Channel* channel) {
    auto it =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.channel.get() == channel; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

bool ChannelPoller::isRegistered(const Channel* channel) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.channel.get() == channel; });
}

int ChannelPoller::poll(int timeoutMs) {
    std::erase_if(entries_, [](const Entry& e) { return !e.channel->isOpen(); });

    // The round works on a copy, so that handlers may change the registrations.
    const std::vector<Entry> round = entries_;
    std::vector<struct pollfd> fds;
    fds.reserve(round.size() + 1);
    fds.push_back({wake_.get(), POLLIN, 0});
    for (const Entry& e : round) fds.push_back({e.channel->getFd(), static_cast<short>(e.events), 0});

    if (::poll(fds.data(), fds.size(), timeoutMs < 0 ? -1 : timeoutMs) < 0) {
        if (errno == EINTR) throw CException(4, 7, "Poll of %zu channels interrupted by a signal", round.size());
        throw CException(4, 3, "Poll of %zu channels failed", round.size());
    }
    if (fds[0].revents != 0) {
        uint64_t count;
        while (::read(wake_.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        errno = EINTR;
        throw CException(4, 7, "Poll of %zu channels interrupted on request", round.size());
    }

    int called = 0;
    for (size_t i = 0; i < round.size(); ++i) {
        int events = fds[i + 1].revents;
        if (events == 0) continue;
        const Entry* current = find(round[i].channel.get());
        if (!current || current->channel->getFd() != fds[i + 1].fd) continue;
        if (events & POLLIN) events &= ~POLLHUP;
        const ObjPtr<Channel> channel = current->channel;
        const ObjPtr<PollEventHandler> handler = current->handler;
        handler->handleEvent(*this, channel, events);
        ++called;
    }
    return called;
}

void ChannelPoller::interrupt() noexcept {
    const int saved = errno;
    const uint64_t one = 1;
    // Fails only when the counter is at its maximum: the poll is woken anyway.
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    errno = saved;
}

}  // namespace Plume
