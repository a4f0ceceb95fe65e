// udisks2 over sd-bus. Each call opens its own connection to the system bus
// (DBUS_SYSTEM_BUS_ADDRESS where set), so the functions may run on any
// thread, and closes it before returning.
#include "UDisks.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace deruzera::platform {
namespace {

constexpr const char* Service = "org.freedesktop.UDisks2";
constexpr const char* ManagerPath = "/org/freedesktop/UDisks2/Manager";
constexpr const char* BlockInterface = "org.freedesktop.UDisks2.Block";
constexpr const char* DriveInterface = "org.freedesktop.UDisks2.Drive";
// Listing and resolving answer at once unless the daemon hangs.
constexpr std::uint64_t QueryTimeoutUsec = 20ull * 1000 * 1000;

struct TBusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct TMessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using TBus = std::unique_ptr<sd_bus, TBusClose>;
using TMessage = std::unique_ptr<sd_bus_message, TMessageUnref>;

// An sd_bus_error that frees itself.
struct TBusError {
    sd_bus_error Error = SD_BUS_ERROR_NULL;
    TBusError() = default;
    TBusError(const TBusError&) = delete;
    TBusError& operator=(const TBusError&) = delete;
    ~TBusError() { sd_bus_error_free(&Error); }
};

TUDisksStatus Failure(int r, const sd_bus_error* error = nullptr) {
    TUDisksStatus status;
    status.Errno = r < 0 ? -r : r;
    if (error && error->name) status.Name = error->name;
    if (error && error->message) status.Message = error->message;
    if (status.Message.empty() && status.Errno != 0) status.Message = std::strerror(status.Errno);
    return status;
}

TUDisksStatus Success() {
    TUDisksStatus status;
    status.Ok = true;
    return status;
}

TUDisksStatus OpenBus(TBus& bus) {
    sd_bus* raw = nullptr;
    const int r = sd_bus_open_system(&raw);
    if (r < 0) return Failure(r);
    bus.reset(raw);
    return Success();
}

// Calls `method` with the message `call` and keeps the reply.
TUDisksStatus Call(sd_bus* bus, sd_bus_message* call, std::uint64_t timeoutUsec, TMessage& reply) {
    TBusError error;
    sd_bus_message* raw = nullptr;
    const int r = sd_bus_call(bus, call, timeoutUsec, &error.Error, &raw);
    if (r < 0) return Failure(r, &error.Error);
    reply.reset(raw);
    return Success();
}

TUDisksStatus NewCall(sd_bus* bus, const char* path, const char* interface, const char* member, TMessage& call) {
    sd_bus_message* raw = nullptr;
    const int r = sd_bus_message_new_method_call(bus, &raw, Service, path, interface, member);
    if (r < 0) return Failure(r);
    call.reset(raw);
    return Success();
}

// One property value of the kinds udisks2's Block and Drive use here.
struct TValue {
    bool Bool = false;
    std::uint64_t Number = 0;
    std::string Text;  // s, o, and ay up to its NUL
};
using TProperties = std::map<std::string, TValue>;

// Reads an a{sv} the message stands before; values of other types are skipped.
int ReadProperties(sd_bus_message* m, TProperties* properties) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read(m, "s", &name)) < 0) return r;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
        if (!properties || !contents) {
            if ((r = sd_bus_message_skip(m, "v")) < 0) return r;
        } else {
            if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
            TValue value;
            bool known = true;
            if (std::strcmp(contents, "b") == 0) {
                int b = 0;
                r = sd_bus_message_read(m, "b", &b);
                value.Bool = b != 0;
            } else if (std::strcmp(contents, "t") == 0) {
                std::uint64_t t = 0;
                r = sd_bus_message_read(m, "t", &t);
                value.Number = t;
            } else if (std::strcmp(contents, "s") == 0 || std::strcmp(contents, "o") == 0) {
                const char* s = nullptr;
                r = sd_bus_message_read_basic(m, contents[0], &s);
                if (s) value.Text = s;
            } else if (std::strcmp(contents, "ay") == 0) {
                const void* bytes = nullptr;
                std::size_t size = 0;
                r = sd_bus_message_read_array(m, 'y', &bytes, &size);
                if (r >= 0 && bytes) {
                    const char* text = static_cast<const char*>(bytes);
                    value.Text.assign(text, strnlen(text, size));
                }
            } else {
                known = false;
                r = sd_bus_message_skip(m, contents);
            }
            if (r < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
            if (known) (*properties)[name] = std::move(value);
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

struct TObject {
    TProperties Block;
    TProperties Drive;
    bool HasBlock = false;
    bool HasDrive = false;
};

// Reads GetManagedObjects' a{oa{sa{sv}}}, keeping the Block and Drive
// interfaces.
int ReadManagedObjects(sd_bus_message* m, std::map<std::string, TObject>& objects) {
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read(m, "o", &path)) < 0) return r;
        TObject& object = objects[path];
        if ((r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            if ((r = sd_bus_message_read(m, "s", &interface)) < 0) return r;
            TProperties* target = nullptr;
            if (std::strcmp(interface, BlockInterface) == 0) {
                target = &object.Block;
                object.HasBlock = true;
            } else if (std::strcmp(interface, DriveInterface) == 0) {
                target = &object.Drive;
                object.HasDrive = true;
            }
            if ((r = ReadProperties(m, target)) < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

const TValue& Property(const TProperties& properties, const char* name) {
    static const TValue none;
    const auto it = properties.find(name);
    return it == properties.end() ? none : it->second;
}

bool IsName(const std::string& name, const char* wanted) { return name == wanted; }

}  // namespace

bool UDisksMissing(const TUDisksStatus& status) {
    if (status.Ok) return false;
    if (status.Name.empty()) {
        // The bus itself could not be reached.
        switch (status.Errno) {
            case ENOENT: case ECONNREFUSED: case ECONNRESET: case ENOTCONN: case ECONNABORTED:
            case EPIPE: case EACCES: case ENOMEDIUM:
                return true;
            default:
                return false;
        }
    }
    return IsName(status.Name, "org.freedesktop.DBus.Error.ServiceUnknown") ||
           IsName(status.Name, "org.freedesktop.DBus.Error.NameHasNoOwner") ||
           IsName(status.Name, "org.freedesktop.DBus.Error.NoServer") ||
           IsName(status.Name, "org.freedesktop.DBus.Error.Disconnected") ||
           IsName(status.Name, "org.freedesktop.DBus.Error.FileNotFound") ||
           status.Name.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0;
}

bool UDisksNotAuthorized(const TUDisksStatus& status) {
    return !status.Ok && status.Name.rfind("org.freedesktop.UDisks2.Error.NotAuthorized", 0) == 0;
}

TUDisksStatus UDisksBlocks(std::vector<TUDisksBlock>& blocks) {
    blocks.clear();
    TBus bus;
    TUDisksStatus status = OpenBus(bus);
    if (!status.Ok) return status;
    TMessage call, reply;
    status = NewCall(bus.get(), "/org/freedesktop/UDisks2", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                     call);
    if (!status.Ok) return status;
    status = Call(bus.get(), call.get(), QueryTimeoutUsec, reply);
    if (!status.Ok) return status;

    std::map<std::string, TObject> objects;
    if (const int r = ReadManagedObjects(reply.get(), objects); r < 0) return Failure(r);
    for (const auto& [path, object] : objects) {
        if (!object.HasBlock) continue;
        const TProperties& p = object.Block;
        TUDisksBlock block;
        block.ObjectPath = path;
        block.Device = Property(p, "Device").Text;
        block.PreferredDevice = Property(p, "PreferredDevice").Text;
        block.DeviceNumber = Property(p, "DeviceNumber").Number;
        block.Size = Property(p, "Size").Number;
        block.IdUsage = Property(p, "IdUsage").Text;
        block.IdType = Property(p, "IdType").Text;
        block.IdVersion = Property(p, "IdVersion").Text;
        block.IdLabel = Property(p, "IdLabel").Text;
        block.HintIgnore = Property(p, "HintIgnore").Bool;
        block.HintSystem = Property(p, "HintSystem").Bool;
        block.ReadOnly = Property(p, "ReadOnly").Bool;
        block.Drive = Property(p, "Drive").Text;
        const auto drive = objects.find(block.Drive);
        if (drive != objects.end() && drive->second.HasDrive) {
            block.Removable = Property(drive->second.Drive, "Removable").Bool ||
                              Property(drive->second.Drive, "MediaRemovable").Bool;
        }
        blocks.push_back(std::move(block));
    }
    return Success();
}

TUDisksStatus UDisksResolveDevice(const std::string& devicePath, std::string& objectPath) {
    objectPath.clear();
    TBus bus;
    TUDisksStatus status = OpenBus(bus);
    if (!status.Ok) return status;
    TMessage call, reply;
    status = NewCall(bus.get(), ManagerPath, "org.freedesktop.UDisks2.Manager", "ResolveDevice", call);
    if (!status.Ok) return status;
    int r = sd_bus_message_append(call.get(), "a{sv}", 1, "path", "s", devicePath.c_str());
    if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 0);
    if (r < 0) return Failure(r);
    status = Call(bus.get(), call.get(), QueryTimeoutUsec, reply);
    if (status.Ok) {
        if ((r = sd_bus_message_enter_container(reply.get(), 'a', "o")) < 0) return Failure(r);
        const char* path = nullptr;
        if ((r = sd_bus_message_read(reply.get(), "o", &path)) < 0) return Failure(r);
        if (r > 0 && path) objectPath = path;
        return Success();
    }
    if (status.Name != "org.freedesktop.DBus.Error.UnknownMethod") return status;

    // udisks2 before 2.7.3 has no ResolveDevice: look through its blocks.
    std::vector<TUDisksBlock> blocks;
    status = UDisksBlocks(blocks);
    if (!status.Ok) return status;
    for (const auto& block : blocks) {
        if (block.Device == devicePath || block.PreferredDevice == devicePath) {
            objectPath = block.ObjectPath;
            break;
        }
    }
    return Success();
}

TUDisksStatus UDisksOpenForBackup(const std::string& objectPath, unsigned timeoutSeconds, int& fd) {
    fd = -1;
    TBus bus;
    TUDisksStatus status = OpenBus(bus);
    if (!status.Ok) return status;
    if (sd_bus_can_send(bus.get(), SD_BUS_TYPE_UNIX_FD) == 0) {
        status = Failure(ENOTSUP);
        status.Message = "the system bus does not pass file descriptors";
        return status;
    }
    TMessage call, reply;
    status = NewCall(bus.get(), objectPath.c_str(), BlockInterface, "OpenForBackup", call);
    if (!status.Ok) return status;
    int r = sd_bus_message_append(call.get(), "a{sv}", 0);
    // polkit may ask the user for a password before it answers.
    if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(call.get(), 1);
    if (r < 0) return Failure(r);
    status = Call(bus.get(), call.get(), std::uint64_t{timeoutSeconds} * 1000 * 1000, reply);
    if (!status.Ok) return status;
    int handed = -1;
    if ((r = sd_bus_message_read(reply.get(), "h", &handed)) < 0) return Failure(r);
    // The message owns its descriptor; keep a copy of our own.
    fd = fcntl(handed, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return Failure(errno);
    return Success();
}

}  // namespace deruzera::platform
