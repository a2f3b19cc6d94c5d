// Helpers shared by the remote-interface tests.
#pragma once

#include "xadracommon/LogService.h"
#include "xadracommon/PreviewException.h"
#include "plume/Boxes.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <variant>
#include <vector>

namespace xadtest {

// A Serializer that records every field written, in order, and replays the
// same fields to readFields. Objects are kept by reference, not copied.
class RecordingSerializer : public Plume::Serializer {
public:
    struct Field {
        enum Kind { INT, LONG, DOUBLE, BOOLEAN, OBJECT } kind;
        int64_t i = 0;
        double d = 0;
        Plume::ObjPtr<Plume::Object> o;
    };
    std::vector<Field> fields;
    size_t next = 0;
    using Plume::Serializer::writeObject;

    void writeInt(int32_t v) override { fields.push_back({Field::INT, v, 0, nullptr}); }
    void writeLong(int64_t v) override { fields.push_back({Field::LONG, v, 0, nullptr}); }
    void writeDouble(double v) override { fields.push_back({Field::DOUBLE, 0, v, nullptr}); }
    void writeBoolean(bool v) override { fields.push_back({Field::BOOLEAN, v, 0, nullptr}); }
    void writeObject(const Plume::Object* o) override {
        fields.push_back({Field::OBJECT, 0, 0, Plume::ObjPtr<Plume::Object>(const_cast<Plume::Object*>(o))});
    }

    int32_t readInt() override { return static_cast<int32_t>(take(Field::INT).i); }
    int64_t readLong() override { return take(Field::LONG).i; }
    double readDouble() override { return take(Field::DOUBLE).d; }
    bool readBoolean() override { return take(Field::BOOLEAN).i != 0; }
    Plume::ObjPtr<Plume::Object> readObject() override { return take(Field::OBJECT).o; }

    // "I:0 D:1.5 O:null O:java.lang.String=abc" — one token per field.
    std::string describe() const {
        std::string s;
        for (const Field& f : fields) {
            if (!s.empty()) s += ' ';
            switch (f.kind) {
                case Field::INT: s += "I:" + std::to_string(f.i); break;
                case Field::LONG: s += "L:" + std::to_string(f.i); break;
                case Field::DOUBLE: s += "D:" + Plume::Double(f.d).toString(); break;
                case Field::BOOLEAN: s += f.i ? "B:true" : "B:false"; break;
                case Field::OBJECT:
                    if (!f.o) s += "O:null";
                    else if (dynamic_cast<const Plume::String*>(f.o.get())) s += "O:" + f.o->toString();
                    else s += std::string("O:") + f.o->getSerialID();
                    break;
            }
        }
        return s;
    }

private:
    const Field& take(Field::Kind k) {
        if (next >= fields.size()) throw std::runtime_error("read past the recorded fields");
        const Field& f = fields[next++];
        if (f.kind != k) throw std::runtime_error("field of another kind");
        return f;
    }
};

// Silences the programs' log output for the lifetime of a test.
class QuietLog {
public:
    QuietLog() : saved_(Xadra::logService().levelThreshold) { Xadra::logService().levelThreshold = -1; }
    ~QuietLog() { Xadra::logService().levelThreshold = saved_; }

private:
    int saved_;
};

// Runs f, expects a ThrowableException carrying E, and returns it.
template <class E, class F>
Plume::ObjPtr<E> expectRemoteError(F&& f, unsigned category, int level, const std::string& message) {
    try {
        f();
    } catch (const Plume::ThrowableException& e) {
        EXPECT_EQ(e.getCategory(), category);
        EXPECT_EQ(e.getLevel(), level);
        Plume::ObjPtr<E> t = Plume::objCast<E>(e.getThrowable());
        EXPECT_TRUE(t) << "carries " << (e.getThrowable() ? e.getThrowable()->getSerialID() : "null");
        if (t) {
            EXPECT_EQ(t->getDetailMessage(), message);
        }
        return t;
    }
    ADD_FAILURE() << "no ThrowableException";
    return nullptr;
}

// Runs f and expects a Plume::Exception (not a remote error) with the message.
template <class F>
void expectLocalError(F&& f, unsigned category, int level, const std::string& message) {
    try {
        f();
    } catch (const Plume::ThrowableException& e) {
        ADD_FAILURE() << "unexpected remote error " << e.what();
        return;
    } catch (const Plume::Exception& e) {
        EXPECT_EQ(e.getMessage(), message);
        EXPECT_EQ(e.getCategory(), category);
        EXPECT_EQ(e.getLevel(), level);
        return;
    }
    ADD_FAILURE() << "no Plume::Exception; expected \"" << message << "\"";
}

}  // namespace xadtest
