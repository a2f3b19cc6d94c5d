// Waits for events on a set of channels and calls a handler per ready channel.
//
// Ownership: the poller holds a reference to every registered channel and its
// handler until the channel is unregistered, found closed at the start of a
// poll, or the poller is destroyed. It owns an eventfd (close-on-exec) through
// which interrupt() wakes it.
//
// Thread-safety: one thread registers, unregisters and polls. interrupt() may
// be called from any thread (and from a signal handler: it only writes to the
// eventfd) as long as the caller holds a reference to the poller.
#pragma once

#include "Channel.h"
#include "UniqueFd.h"

#include <cstddef>
#include <vector>

namespace Plume {

class ChannelPoller;

// Reacts to the events of one registered channel.
class PollEventHandler : public virtual Object {
public:
    // Called from ChannelPoller::poll, on the polling thread, with the poll(2)
    // result bits of the channel (POLLIN 1, POLLOUT 4, POLLERR 8, POLLHUP 16,
    // POLLNVAL 32). It may read, write, close and unregister this or any other
    // channel and register new ones; the channel and the handler stay alive
    // until the call returns. An exception it throws leaves poll().
    virtual void handleEvent(ChannelPoller& poller, const ObjPtr<Channel>& channel, int events) = 0;
};

class ChannelPoller : public virtual Object {
public:
    // Throws CException (category 4, level 3) when the eventfd cannot be made.
    static ObjPtr<ChannelPoller> newInstance();
    ChannelPoller();
    ~ChannelPoller() override;

    // Watches channel for events (poll(2) request bits such as POLLIN or
    // POLLOUT; 0 asks for none, and the handler then sees only POLLERR,
    // POLLHUP and POLLNVAL, which poll(2) always reports). Registering a
    // channel again replaces its handler and events. Throws Plume::Exception
    // (category 4, level 3) when channel or handler is null or the channel is
    // closed.
    void registerChannel(const ObjPtr<Channel>& channel, const ObjPtr<PollEventHandler>& handler, int events);
    // Stops watching channel; false when it was not registered. Does not
    // close it.
    bool unregisterChannel(const Channel* channel);
    bool unregisterChannel(const ObjPtr<Channel>& channel) { return unregisterChannel(channel.get()); }
    bool isRegistered(const Channel* channel) const;
    bool isRegistered(const ObjPtr<Channel>& channel) const { return isRegistered(channel.get()); }
    // Registered channels, closed ones included until the next poll drops them.
    size_t getChannelCount() const { return entries_.size(); }

    // Drops closed channels, then waits at most timeoutMs milliseconds
    // (negative: without limit, 0: not at all) until a registered channel is
    // ready, and calls the handler of every ready channel in the order of
    // registration. A channel that an earlier handler of the same round
    // unregistered or closed is skipped. Returns the number of handlers
    // called, 0 when the time ran out.
    //
    // Hang-up is reported once the data are read: while a channel still has
    // data to read its handler sees POLLIN without POLLHUP (poll(2) reports
    // both when the writer has closed its end), so a handler that closes its
    // channel on POLLHUP loses none of the writer's last output.
    //
    // Throws CException (category 4, level 7) whose isInterrupt() is true
    // when a signal handled by the process interrupts the wait, or when
    // interrupt() was called and no poll has thrown for it yet; no handler
    // is called then, and ready channels are reported by the next
    // poll. Throws CException (category 4, level 3) when poll(2) fails
    // otherwise. An exception from a handler passes on; the channels not yet
    // handled in that round are reported again by the next poll.
    int poll(int timeoutMs);

    // Makes the current poll of this poller, or the next one when none is
    // running, throw the interrupt exception. Several calls before that poll
    // have the effect of one. Thread-safe and async-signal-safe; never throws.
    void interrupt() noexcept;

private:
    struct Entry {
        ObjPtr<Channel> channel;
        ObjPtr<PollEventHandler> handler;
        int events;
    };
    Entry* find(const Channel* channel);

    std::vector<Entry> entries_;
    UniqueFd wake_;  // eventfd written by interrupt()
};

}  // namespace Plume
