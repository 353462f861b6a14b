// The backend's entry points, looked up in the shared library the way a frontend loads it.
#pragma once

#include <dlfcn.h>
#include <sane/sane.h>

#include <string>

namespace tarvell::sane::testing {

struct SaneApi {
  void* library = nullptr;
  SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
  void (*exit)() = nullptr;
  SANE_Status (*get_devices)(const SANE_Device***, SANE_Bool) = nullptr;
  SANE_Status (*open)(SANE_String_Const, SANE_Handle*) = nullptr;
  void (*close)(SANE_Handle) = nullptr;
  const SANE_Option_Descriptor* (*get_option_descriptor)(SANE_Handle, SANE_Int) = nullptr;
  SANE_Status (*control_option)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*) = nullptr;
  SANE_Status (*get_parameters)(SANE_Handle, SANE_Parameters*) = nullptr;
  SANE_Status (*start)(SANE_Handle) = nullptr;
  SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*) = nullptr;
  void (*cancel)(SANE_Handle) = nullptr;
  SANE_Status (*set_io_mode)(SANE_Handle, SANE_Bool) = nullptr;
  SANE_Status (*get_select_fd)(SANE_Handle, SANE_Int*) = nullptr;

  // Loads `path` and resolves every sane_tarvell_* entry point; false with *error otherwise.
  bool Load(const std::string& path, std::string* error) {
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      *error = dlerror();
      return false;
    }
    bool ok = true;
    auto find = [&](auto** slot, const char* name) {
      *reinterpret_cast<void**>(slot) = dlsym(library, name);
      if (!*slot) {
        *error += std::string(" missing ") + name;
        ok = false;
      }
    };
    find(&init, "sane_tarvell_init");
    find(&exit, "sane_tarvell_exit");
    find(&get_devices, "sane_tarvell_get_devices");
    find(&open, "sane_tarvell_open");
    find(&close, "sane_tarvell_close");
    find(&get_option_descriptor, "sane_tarvell_get_option_descriptor");
    find(&control_option, "sane_tarvell_control_option");
    find(&get_parameters, "sane_tarvell_get_parameters");
    find(&start, "sane_tarvell_start");
    find(&read, "sane_tarvell_read");
    find(&cancel, "sane_tarvell_cancel");
    find(&set_io_mode, "sane_tarvell_set_io_mode");
    find(&get_select_fd, "sane_tarvell_get_select_fd");
    return ok;
  }

  void Unload() {
    if (library) dlclose(library);
    library = nullptr;
  }
};

}  // namespace tarvell::sane::testing
