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

// Throws unless the call carries exactly count arguments; for a method
// without arguments a null array counts as none.
void checkArgumentCount(const char* handler, const std::string& method, const ObjPtr<ObjectArray>& args,
                        size_t count) {
    const size_t given = args ? args->getSize() : 0;
    if (given != count)
        throw Exception(1, 3, "Invalid number of arguments specified in call to %s::%s", handler, method.c_str());
}

class SessionContextHandler : public InvocationHandler {
public:
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        if (method == "ping") {
            checkArgumentCount("sessionContext", method, args, 0);
            return ObjPtr<Object>();
        }
        if (method == "getPeerAddress") {
            checkArgumentCount("sessionContext", method, args, 0);
            Connection* c = Connection::current();
            return String::newInstance(c ? c->getPeer() : std::string());
        }
        throw Exception(1, 3, "Invalid method %s specified in call to sessionContext.", method.c_str());
    }
};

class ReturnHandler : public InvocationHandler {
public:
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        if (method == "echo") {
            checkArgumentCount("return", method, args, 1);
            return args->get(0);
        }
        throw Exception(1, 3, "Invalid method %s specified in call to return.", method.c_str());
    }
};

}  // namespace

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::newSessionContextHandler() {
    return makeObj<SessionContextHandler>();
}

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::newReturnHandler() { return makeObj<ReturnHandler>(); }

}  // namespace Plume
