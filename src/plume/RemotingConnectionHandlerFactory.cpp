// The names a server binds its handlers under, and the framework's own
// handlers "sessionContext" and "return".

#include "Remoting.h"

namespace Plume {

void RemotingConnectionHandlerFactory::bind(const std::string& name, const ObjPtr<InvocationHandler>& handler) {
    MutexLock lock(mutex_);
    bindings_[name] = handler;
}

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::lookup(const std::string& name) const {
    MutexLock lock(mutex_);
    auto it = bindings_.find(name);
    return it == bindings_.end() ? ObjPtr<InvocationHandler>() : it->second;
}

namespace {

class SessionContextHandler : public InvocationHandler {
public:
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>&) override {
        if (method == "ping") return ObjPtr<Object>();
        if (method == "getPeerAddress") {
            Connection* c = Connection::current();
            return String::newInstance(c ? c->getPeer() : std::string());
        }
        throw Exception(1, 3, "Invalid method %s specified in call to sessionContext.", method.c_str());
    }
};

class ReturnHandler : public InvocationHandler {
public:
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        if (method == "echo") return args ? args->get(0) : ObjPtr<Object>();
        throw Exception(1, 3, "Invalid method %s specified in call to return.", method.c_str());
    }
};

}  // namespace

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::newSessionContextHandler() {
    return makeObj<SessionContextHandler>();
}

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::newReturnHandler() { return makeObj<ReturnHandler>(); }

}  // namespace Plume
