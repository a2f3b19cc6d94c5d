#include "Serializable.h"

#include "Exception.h"

#include <algorithm>

namespace Plume {

bool SerializableFactory::TypeInfo::accepts(int64_t v) const {
    return v == uid || std::find(oldUids.begin(), oldUids.end(), v) != oldUids.end();
}

ObjPtr<SerializableFactory> SerializableFactory::newInstance() {
    auto f = makeObj<SerializableFactory>();
    f->registerFrameworkTypes();
    return f;
}

void SerializableFactory::registerType(const std::string& serialID, int64_t uid, std::vector<int64_t> oldUids,
                                       Creator creator) {
    TypeInfo info;
    info.serialID = serialID;
    info.uid = uid;
    info.oldUids = std::move(oldUids);
    info.creator = std::move(creator);
    types_[serialID] = std::move(info);
}

void SerializableFactory::registerArrayType(const std::string& componentID) {
    arrays_["[L" + componentID + ";"] = true;
}

const SerializableFactory::TypeInfo* SerializableFactory::find(const std::string& serialID) const {
    auto it = types_.find(serialID);
    return it == types_.end() ? nullptr : &it->second;
}

bool SerializableFactory::isArrayTypeRegistered(const std::string& arrayID) const {
    return arrayID == "[Ljava.lang.Object;" || arrays_.count(arrayID) != 0;
}

void SerializableFactory::registerFrameworkTypes() {
    registerType("java.lang.Throwable", Throwable().getSerialVersionUID(), {},
                 [] { return ObjPtr<Serializable>(makeObj<Throwable>()); });
    registerType("java.lang.Exception", JavaException().getSerialVersionUID(), {},
                 [] { return ObjPtr<Serializable>(makeObj<JavaException>()); });
    registerType("plume.RemoteError", RemoteError().getSerialVersionUID(), {},
                 [] { return ObjPtr<Serializable>(makeObj<RemoteError>()); });
}

}  // namespace Plume
