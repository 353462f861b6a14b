#include "tests/support/UsbEmulator.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace tarvell::testing {
namespace {

usbdevfs_urb* Urb(UMockdevIoctlData* d) { return reinterpret_cast<usbdevfs_urb*>(d->data); }

void SubmitUrb(Emulator& emu, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  GError* error = nullptr;
  UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
  if (!urbData) {
    emu.unexpected.push_back(std::string("resolve urb: ") + error->message);
    g_error_free(error);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  usbdevfs_urb* urb = Urb(urbData);
  UMockdevIoctlData* buffer = nullptr;
  if (urb->buffer_length > 0) {
    buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), urb->buffer_length, &error);
    if (!buffer) {
      emu.unexpected.push_back(std::string("resolve buffer: ") + error->message);
      g_error_free(error);
      g_object_unref(urbData);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
  }
  if (emu.gone) {
    emu.gone = false;
    Emulator::Flying f{urbData, buffer, 0};
    Emulator::Release(f);
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  Emulator::Flying f{urbData, buffer, 0};
  urb->status = 0;
  urb->actual_length = 0;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL && buffer && buffer->data_len >= 8) {
    emu.setups.emplace_back(buffer->data, buffer->data + 8);
    emu.done.push_back(f);
  } else if (urb->endpoint == 0x02) {
    std::string cmd(reinterpret_cast<char*>(buffer->data), size_t(urb->buffer_length));
    emu.commands.push_back(cmd);
    if (cmd.rfind("echo:", 0) == 0) emu.reply = cmd.substr(5);
    if (cmd.rfind("image:", 0) == 0 || cmd == "silence" || cmd.rfind("trickle:", 0) == 0) emu.imageMode = cmd;
    if (cmd == "gone") emu.gone = true;
    urb->actual_length = urb->buffer_length;
    emu.done.push_back(f);
  } else if (urb->endpoint == 0x8B) {
    size_t n = std::min(emu.reply.size(), size_t(urb->buffer_length));
    std::memcpy(buffer->data, emu.reply.data(), n);
    urb->actual_length = int(n);
    emu.done.push_back(f);
  } else if (urb->endpoint == 0x88 && emu.imageMode.rfind("image:", 0) == 0) {
    int n = std::min(std::stoi(emu.imageMode.substr(6)), urb->buffer_length);
    for (int i = 0; i < n; ++i) buffer->data[i] = UInt8(i * 7);
    urb->actual_length = n;
    emu.imageMode.clear();
    emu.done.push_back(f);
  } else {
    // Nothing to send: the transfer stays pending until the host gives up on it.
    if (emu.imageMode.rfind("trickle:", 0) == 0) f.trickle = std::stoi(emu.imageMode.substr(8));
    emu.imageMode.clear();
    emu.flying.push_back(f);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void DiscardUrb(Emulator& emu, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  gulong address = 0;
  std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
  for (auto it = emu.flying.begin(); it != emu.flying.end(); ++it) {
    if (it->urb->client_addr != address) continue;
    Emulator::Flying f = *it;
    emu.flying.erase(it);
    usbdevfs_urb* urb = Urb(f.urb);
    int n = std::min(f.trickle, urb->buffer_length);
    for (int i = 0; i < n; ++i) f.buffer->data[i] = UInt8(i);
    urb->actual_length = n;
    urb->status = -ENOENT;
    emu.done.push_back(f);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void ReapUrb(Emulator& emu, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  if (emu.done.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  Emulator::Flying f = emu.done.front();
  emu.done.pop_front();
  GError* error = nullptr;
  UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), &error);
  if (!pointer || !umockdev_ioctl_data_set_ptr(pointer, 0, f.urb)) {
    emu.unexpected.push_back(std::string("reap: ") + (error ? error->message : "?"));
    if (error) g_error_free(error);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  } else {
    umockdev_ioctl_client_complete(client, 0, 0);
  }
  if (pointer) g_object_unref(pointer);
  Emulator::Release(f);
}

// Reads the 32-bit value an ioctl argument points to.
bool ReadU32(UMockdevIoctlData* arg, unsigned* out) {
  UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
  if (!d) return false;
  std::memcpy(out, d->data, sizeof *out);
  g_object_unref(d);
  return true;
}

}  // namespace

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Emulator& emu = *static_cast<Emulator*>(data);
  const std::string node = umockdev_ioctl_client_get_devnode(client);
  ++emu.ioctls[node];
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(UInt32), nullptr);
      if (!caps) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        break;
      }
      UInt32 value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      std::memcpy(caps->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(caps);
      break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
      umockdev_ioctl_client_complete(client, emu.heldElsewhere ? -1 : 0, emu.heldElsewhere ? EBUSY : 0);
      break;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET: umockdev_ioctl_client_complete(client, 0, 0); break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver bound
      break;
    case USBDEVFS_CLEAR_HALT: {
      unsigned endpoint = 0;
      if (ReadU32(arg, &endpoint)) emu.clearedHalts.push_back(endpoint);
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    }
    case USBDEVFS_SUBMITURB: SubmitUrb(emu, client, arg); break;
    case USBDEVFS_DISCARDURB: DiscardUrb(emu, client, arg); break;
    case USBDEVFS_REAPURBNDELAY: ReapUrb(emu, client, arg); break;
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "ioctl 0x%lx on %s", request, node.c_str());
      emu.unexpected.push_back(text);
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      break;
    }
  }
  return TRUE;
}

}  // namespace tarvell::testing
