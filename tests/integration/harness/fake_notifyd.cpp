// A stand-in desktop notification service for tests: owns
// org.freedesktop.Notifications on the session bus and appends each call it
// gets to the file named on its command line ("ready" once it owns the name).
#include <systemd/sd-bus.h>

#include <cstdio>

namespace {

FILE* s_out = nullptr;

int notify(sd_bus_message* m, void*, sd_bus_error*) {
    const char* app = nullptr;
    uint32_t replaces = 0;
    const char* icon = nullptr;
    const char* summary = nullptr;
    const char* body = nullptr;
    if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -22;
    fprintf(s_out, "Notify %s|%s|%s\n", app, summary, body);
    fflush(s_out);
    return sd_bus_reply_method_return(m, "u", 7u);
}

int closeNotification(sd_bus_message* m, void*, sd_bus_error*) {
    uint32_t id = 0;
    if (sd_bus_message_read(m, "u", &id) < 0) return -22;
    fprintf(s_out, "CloseNotification %u\n", id);
    fflush(s_out);
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    s_out = fopen(argv[1], "a");
    if (!s_out) return 1;
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return 1;
    if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", kVtable, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0)
        return 1;
    fprintf(s_out, "ready\n");
    fflush(s_out);
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 0;  // the bus went away
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 0;
    }
}
