// The desktop notification naming a site that asks to use the key: one
// call of org.freedesktop.Notifications on the user's session bus, made
// through sd-bus without blocking. The bus connection's descriptor and
// timeout are watched by the network thread's own loop, so nothing here
// ever waits for the bus.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <poll.h>
#include <systemd/sd-bus.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "log/log.h"
#include "site/internal.h"

namespace net = boost::asio;

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

class Notifier {
  public:
    explicit Notifier(net::io_context& ioc) : ioc_(ioc), timer_(ioc) {}

    void show(const std::string& summary, const std::string& body) {
        if (!connect()) return;
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &m, kService, kPath, kService, "Notify");
        if (r >= 0)
            r = sd_bus_message_append(m, "susss", "fpkeyd", shown_, "security-high",
                                      summary.c_str(), body.c_str());
        if (r >= 0) r = sd_bus_message_append(m, "as", 0);
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "urgency", "y", 2);
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0) r = sd_bus_message_append(m, "i", approvalWaitMs());
        if (r >= 0) r = sd_bus_call_async(bus_, nullptr, m, &Notifier::onShown, this, 0);
        sd_bus_message_unref(m);
        if (r < 0) {
            nvlogE("desktop notification not sent (%d)", r);
            return;
        }
        pump();
    }

    void withdraw() {
        if (!bus_ || shown_ == 0) return;
        sd_bus_call_method_async(bus_, nullptr, kService, kPath, kService, "CloseNotification",
                                 nullptr, nullptr, "u", shown_);
        shown_ = 0;
        pump();
    }

  private:
    bool connect() {
        if (bus_) return true;
        if (failed_) return false;
        const int r = sd_bus_open_user(&bus_);
        if (r < 0) {
            failed_ = true;  // no session bus: the page's message is the only prompt
            bus_ = nullptr;
            _nvlog("no session bus for desktop notifications (%d)", r);
            return false;
        }
        fd_.emplace(ioc_, sd_bus_get_fd(bus_));
        return true;
    }

    static int onShown(sd_bus_message* reply, void* self, sd_bus_error*) {
        uint32_t id = 0;
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            _nvlog("notification service: %s", sd_bus_message_get_error(reply)->name);
        } else if (sd_bus_message_read(reply, "u", &id) >= 0) {
            static_cast<Notifier*>(self)->shown_ = id;
        }
        return 0;
    }

    // Runs whatever the bus has for us, then waits for what it needs next.
    void pump() {
        int r;
        do {
            r = sd_bus_process(bus_, nullptr);
        } while (r > 0);
        if (r < 0) {
            _nvlog("session bus lost (%d)", r);
            close();
            return;
        }
        arm();
    }

    void arm() {
        const int events = sd_bus_get_events(bus_);
        if (events < 0) return;
        if (events & POLLIN) waitFor(net::posix::descriptor_base::wait_read, reading_);
        if (events & POLLOUT) waitFor(net::posix::descriptor_base::wait_write, writing_);
        uint64_t until = 0;
        if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
            // sd-bus counts in CLOCK_MONOTONIC microseconds, as steady_clock does.
            timer_.expires_at(
                std::chrono::steady_clock::time_point(std::chrono::microseconds(until)));
            timer_.async_wait([this](boost::system::error_code ec) {
                if (!ec && bus_) pump();
            });
        }
    }

    // One wait of `type` at a time; `pending` says whether it is armed.
    void waitFor(net::posix::descriptor_base::wait_type type, bool& pending) {
        if (pending) return;
        pending = true;
        fd_->async_wait(type, [this, &pending](boost::system::error_code ec) {
            pending = false;
            if (!ec && bus_) pump();
        });
    }

    void close() {
        timer_.cancel();
        if (fd_) {
            fd_->cancel();
            fd_->release();  // the descriptor is sd-bus's to close
            fd_.reset();
        }
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
        shown_ = 0;
    }

    net::io_context& ioc_;
    net::steady_timer timer_;
    std::optional<net::posix::stream_descriptor> fd_;
    sd_bus* bus_ = nullptr;
    bool failed_ = false;
    bool reading_ = false;
    bool writing_ = false;

  public:
    uint32_t shown_ = 0;  // the notification on screen, once the service took it
};

// Notification bodies may carry markup: a page's text is shown as it is.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

Notifier& notifier() {
    // Lives as long as the loop it waits in; never destroyed (the process
    // ends with the loop).
    static Notifier* n = new Notifier(siteint::loop());
    return *n;
}

}  // namespace

void notifySiteAsks(const std::string& site) {
    // An opaque page names no site: say what it is instead.
    const bool opaque = site == kOpaqueSite;
    const std::string who = opaque ? "a page opened from a file or a sandboxed frame" : site;
    const std::string summary =
        opaque ? "Allow a page opened from a file or a sandboxed frame to use your security key?"
               : "Allow " + site + " to use your security key?";
    std::string body = "Touch the fingerprint sensor of your key to allow " + escaped(who) +
                       ". Do nothing to refuse it.";
    if (opaque) body += " The page's own site and title are not known.";
    notifier().show(summary, body);
}

void notifyConfirmAsks(const std::string& site, const std::string& text, bool assertion) {
    // An assertion shows the page's own text; an act is named by the daemon.
    const std::string summary = !assertion     ? site + " asks to " + text
                                : text.empty() ? site + " asks you to sign in"
                                               : site + " asks you to confirm: " + text;
    // The summary is plain text; the body may be read as markup, so the
    // page's text is escaped there.
    notifier().show(summary, escaped(summary) +
                                 ". Touch the fingerprint sensor of your key with an enrolled "
                                 "finger to confirm it. Do nothing to refuse it.");
}

bool notificationTaken() {
    return notifier().shown_ != 0;
}

void notifySiteDone() {
    notifier().withdraw();
}
