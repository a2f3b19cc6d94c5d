// A client's way to a renderer service: a connection pool to the server's
// address with every value type and interface registered, and the imported
// "hpgsRenderer" proxy. Shuts the pool down when destroyed, which releases
// everything the client exported on its connections.
//
// Thread-safety: the proxy may be used from several threads at once.
#pragma once

#include "PreviewApi.h"
#include "plume/Remoting.h"

#include <string>

namespace xad::preview::api {

class RendererClient {
public:
    // url: "tcp://host:port". Connects lazily, on the first call; calls that
    // cannot connect throw Plume::RemotingException naming the address.
    explicit RendererClient(const std::string& url);
    ~RendererClient();
    RendererClient(const RendererClient&) = delete;
    RendererClient& operator=(const RendererClient&) = delete;

    IHPGLRenderer& operator*() const { return *renderer_; }
    IHPGLRenderer* operator->() const { return renderer_.get(); }
    const Plume::ObjPtr<IHPGLRenderer>& get() const { return renderer_; }
    const Plume::ObjPtr<Plume::RemotingClientPool>& pool() const { return pool_; }

private:
    Plume::ObjPtr<Plume::RemotingClientPool> pool_;
    Plume::ObjPtr<IHPGLRenderer> renderer_;
};

}  // namespace xad::preview::api
