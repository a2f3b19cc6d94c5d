// The interfaces whose implementations cross a connection by reference.

#include "Remoting.h"

namespace Plume {

void InterfaceRegistry::registerInterface(const std::string& name,
                                          std::function<ObjPtr<Object>(const ObjPtr<InvocationHandler>&)> proxyCreator,
                                          std::function<ObjPtr<ReflectionTarget>(const ObjPtr<Object>&)> targetCreator,
                                          std::function<bool(const Object*)> isInstance,
                                          const std::string& releaseMethod) {
    auto info = std::make_shared<InterfaceInfo>();
    info->name = name;
    info->proxyCreator = std::move(proxyCreator);
    info->targetCreator = std::move(targetCreator);
    info->isInstance = std::move(isInstance);
    info->releaseMethod = releaseMethod;
    MutexLock lock(mutex_);
    for (auto& e : list_)
        if (e->name == name) {
            e = info;
            return;
        }
    list_.push_back(info);
}

std::shared_ptr<const InterfaceInfo> InterfaceRegistry::find(const std::string& name) const {
    MutexLock lock(mutex_);
    for (auto& e : list_)
        if (e->name == name) return e;
    return nullptr;
}

std::shared_ptr<const InterfaceInfo> InterfaceRegistry::findFor(const Object* o) const {
    MutexLock lock(mutex_);
    for (auto& e : list_)
        if (e->isInstance && e->isInstance(o)) return e;
    return nullptr;
}

}  // namespace Plume
