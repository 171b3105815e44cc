#include "platform/LinkDns.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/linux/ResolvedServers.h"

// Per-link settings go to systemd-resolved over D-Bus, as NetworkManager's do: the
// system's resolv.conf is never touched, and resolved forgets them with the link.
namespace platform {
namespace {

const char* const kDestination = "org.freedesktop.resolve1";
const char* const kObject = "/org/freedesktop/resolve1";
const char* const kInterface = "org.freedesktop.resolve1.Manager";
constexpr std::uint64_t kCallTimeoutUsec = 3 * 1000 * 1000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// One connection per use: the calls are rare, and no connection is shared between threads.
Bus OpenSystemBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  return Bus(bus);
}

bool NoResolverError(const sd_bus_error& error) {
  return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

std::string ErrorText(int code, const sd_bus_error& error) {
  if (error.name != nullptr) return std::string(error.name) + ": " + (error.message ? error.message : "");
  return std::strerror(-code);
}

int AppendServers(sd_bus_message* message, const std::vector<LinkDnsServer>& servers) {
  int result = sd_bus_message_open_container(message, 'a', "(iayqs)");
  for (const LinkDnsServer& server : servers) {
    if (result < 0) return result;
    unsigned char bytes[16];
    int family = AF_INET;
    std::size_t size = 4;
    if (inet_pton(AF_INET, server.address.c_str(), bytes) != 1) {
      if (inet_pton(AF_INET6, server.address.c_str(), bytes) != 1) continue;
      family = AF_INET6;
      size = 16;
    }
    result = sd_bus_message_open_container(message, 'r', "iayqs");
    if (result >= 0) result = sd_bus_message_append(message, "i", family);
    if (result >= 0) result = sd_bus_message_append_array(message, 'y', bytes, size);
    if (result >= 0) result = sd_bus_message_append(message, "qs", server.port, "");
    if (result >= 0) result = sd_bus_message_close_container(message);
  }
  return result < 0 ? result : sd_bus_message_close_container(message);
}

int AppendDomains(sd_bus_message* message, const LinkDnsSettings& settings) {
  int result = sd_bus_message_open_container(message, 'a', "(sb)");
  for (const std::string& domain : settings.searchDomains) {
    if (result >= 0) result = sd_bus_message_append(message, "(sb)", domain.c_str(), 0);
  }
  for (const std::string& domain : settings.routingDomains) {
    if (result >= 0) result = sd_bus_message_append(message, "(sb)", domain.c_str(), 1);
  }
  // A full tunnel takes every name: no other link's server sees the lookups.
  if (settings.defaultRoute && result >= 0) result = sd_bus_message_append(message, "(sb)", ".", 1);
  return result < 0 ? result : sd_bus_message_close_container(message);
}

// Calls one method on the link; builder appends the arguments after the index.
template <typename Builder>
int CallOnLink(sd_bus* bus, const char* method, std::uint32_t linkIndex, Builder builder, sd_bus_error* error) {
  sd_bus_message* raw = nullptr;
  int result = sd_bus_message_new_method_call(bus, &raw, kDestination, kObject, kInterface, method);
  if (result < 0) return result;
  Message message(raw);
  result = sd_bus_message_append(raw, "i", static_cast<std::int32_t>(linkIndex));
  if (result >= 0) result = builder(raw);
  if (result < 0) return result;
  return sd_bus_call(bus, raw, kCallTimeoutUsec, error, nullptr);
}

bool IsTunnelDevice(std::int32_t linkIndex) {
  char name[IF_NAMESIZE] = {};
  if (linkIndex <= 0 || if_indextoname(static_cast<unsigned>(linkIndex), name) == nullptr) return false;
  return access(("/sys/class/net/" + std::string(name) + "/tun_flags").c_str(), F_OK) == 0;
}

// One (link, family, address) entry of resolved's server list; false at its end.
bool ReadServer(sd_bus_message* reply, std::vector<std::uint32_t>* servers) {
  if (sd_bus_message_enter_container(reply, 'r', "iiay") <= 0) return false;
  std::int32_t link = 0, family = 0;
  const void* bytes = nullptr;
  std::size_t size = 0;
  if (sd_bus_message_read(reply, "ii", &link, &family) < 0 ||
      sd_bus_message_read_array(reply, 'y', &bytes, &size) < 0 || sd_bus_message_exit_container(reply) < 0) {
    return false;
  }
  if (family == AF_INET && size == 4 && !IsTunnelDevice(link)) {
    std::uint32_t address = 0;
    std::memcpy(&address, bytes, 4);
    servers->push_back(address);
  }
  return true;
}

}  // namespace

std::vector<std::uint32_t> ResolvedServers() {
  std::vector<std::uint32_t> servers;
  Bus bus = OpenSystemBus();
  if (!bus) return servers;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* raw = nullptr;
  if (sd_bus_get_property(bus.get(), kDestination, kObject, kInterface, "DNS", &error, &raw, "a(iiay)") >= 0) {
    Message reply(raw);
    if (sd_bus_message_enter_container(raw, 'a', "(iiay)") > 0) {
      while (ReadServer(raw, &servers)) {
      }
    }
  }
  sd_bus_error_free(&error);
  return servers;
}

LinkDnsOutcome SetLinkDns(std::uint32_t linkIndex, const LinkDnsSettings& settings, std::string* failure) {
  Bus bus = OpenSystemBus();
  if (!bus) return LinkDnsOutcome::kNoResolver;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int result = CallOnLink(bus.get(), "SetLinkDNSEx", linkIndex,
                          [&](sd_bus_message* message) { return AppendServers(message, settings.servers); }, &error);
  if (result >= 0) {
    result = CallOnLink(bus.get(), "SetLinkDomains", linkIndex,
                        [&](sd_bus_message* message) { return AppendDomains(message, settings); }, &error);
  }
  if (result >= 0) {
    const int defaultRoute = settings.defaultRoute ? 1 : 0;
    result = CallOnLink(bus.get(), "SetLinkDefaultRoute", linkIndex,
                        [&](sd_bus_message* message) { return sd_bus_message_append(message, "b", defaultRoute); },
                        &error);
  }
  LinkDnsOutcome outcome = LinkDnsOutcome::kApplied;
  if (result < 0) {
    // No system bus at all, or one without resolved on it.
    const bool absent = NoResolverError(error) || result == -ENOENT || result == -ECONNREFUSED;
    outcome = absent ? LinkDnsOutcome::kNoResolver : LinkDnsOutcome::kFailed;
    *failure = ErrorText(result, error);
  }
  sd_bus_error_free(&error);
  return outcome;
}

void RevertLinkDns(std::uint32_t linkIndex) {
  Bus bus = OpenSystemBus();
  if (!bus) return;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  CallOnLink(bus.get(), "RevertLink", linkIndex, [](sd_bus_message*) { return 0; }, &error);
  sd_bus_error_free(&error);
}

bool TunnelProgramAppliesDns() { return false; }

}  // namespace platform
