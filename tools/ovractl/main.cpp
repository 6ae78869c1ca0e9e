// ovractl: controls an emulated camera through the driver's property and
// method sets, one action after another in the order given.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <host/api/host.h>

#include "client/args.h"
#include "client/camprop.h"
#include "client/control.h"
#include "client/hex.h"
#include "client/models.h"
#include "client/writers.h"

namespace {

const char kUsage[] = R"(Usage: ovractl [--camera VID:PID] ACTION...
Controls an emulated camera through the driver's property and method sets.
The actions run in the order given, on one camera (default %s).

  --camera VID:PID|NAME      the camera model (ovracap --list shows them)
  --list                     list the filter's property sets and items
  --get NAME                 print a property
  --set NAME=VALUE           set a property
  --i2c-read DEV:REG         read a head register (DEV 0: the head itself)
  --i2c-write DEV:REG=VALUE  write a head register
  --eeprom-dump ADDR:LEN=FILE  save LEN bytes of the bridge EEPROM from ADDR
  --eeprom-write ADDR=FILE   write a file's bytes into the EEPROM at ADDR
  --firmware FILE.hex        load Intel HEX firmware into the bridge
  --power on|off             switch the camera head on or off
  --osd VALUE                send an on-screen display command
  --still FILE.png           stream, take a still and save it
  --wait TIME                let camera time pass: 250ms, 2s

Properties: %s
Standard: dropped-frames, video-caps (get), video-mode (get, set).
Numbers are decimal or 0x hexadecimal.

Examples:
  ovractl --camera 2E4C:0061 --set exposure=800000 --get exposure --still still.png
  ovractl --list
  ovractl --camera 2E4C:0014 --set interleave=1 --get interleave
  ovractl --i2c-read 0:0x20 --i2c-write 0:0x20=0x4000 --i2c-read 0:0x20
  ovractl --eeprom-dump 0:256=eeprom.bin
  ovractl --firmware fw.hex --power on
)";

struct Action {
  std::string option;
  std::string value;
};

struct I2cAddress {
  uint8_t device;
  uint16_t reg;
};

I2cAddress ParseI2c(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) throw ovra::UsageError("bad register '" + text + "' (want DEV:REG)");
  return {uint8_t(ovra::ParseNumber(text.substr(0, colon), "I2C device", 0xFF)),
          uint16_t(ovra::ParseNumber(text.substr(colon + 1), "register", 0xFFFF))};
}

bool ParseOnOff(const std::string& text) {
  if (text == "on" || text == "1") return true;
  if (text == "off" || text == "0") return false;
  throw ovra::UsageError("bad power state '" + text + "' (want on or off)");
}

bool IsStandardName(const std::string& name) {
  return name == "dropped-frames" || name == "video-caps" || name == "video-mode";
}

// Checks every action before the camera is touched, so that a typo late in
// the line does not leave half the actions done.
void Check(const Action& a) {
  std::string key, value;
  if (a.option == "--get") {
    if (ovra::FindNamedProperty(a.value) == nullptr && !IsStandardName(a.value))
      throw ovra::UsageError("unknown property '" + a.value + "'");
    const ovra::NamedProperty* p = ovra::FindNamedProperty(a.value);
    if (p != nullptr && !p->get) throw ovra::UsageError("property '" + a.value + "' cannot be read");
  } else if (a.option == "--set") {
    ovra::SplitAssignment(a.value, &key, &value);
    const ovra::NamedProperty* p = ovra::FindNamedProperty(key);
    if (p == nullptr && key != "video-mode") throw ovra::UsageError("unknown or read-only property '" + key + "'");
    if (p != nullptr && !p->set) throw ovra::UsageError("property '" + key + "' cannot be set");
    ovra::ParseNumber(value, key, 0xFFFFFFFF);
  } else if (a.option == "--i2c-read") {
    ParseI2c(a.value);
  } else if (a.option == "--i2c-write") {
    ovra::SplitAssignment(a.value, &key, &value);
    ParseI2c(key);
    ovra::ParseNumber(value, "register value", 0xFFFF);
  } else if (a.option == "--eeprom-dump") {
    ovra::SplitAssignment(a.value, &key, &value);
    const size_t colon = key.find(':');
    if (colon == std::string::npos) throw ovra::UsageError("bad EEPROM range '" + key + "' (want ADDR:LEN)");
    const uint64_t address = ovra::ParseNumber(key.substr(0, colon), "EEPROM address", 0xFFFF);
    const uint64_t length = ovra::ParseNumber(key.substr(colon + 1), "EEPROM length", 0x10000);
    if (length == 0 || address + length > 0x10000) throw ovra::UsageError("EEPROM range '" + key + "' is outside 64 KiB");
  } else if (a.option == "--eeprom-write") {
    ovra::SplitAssignment(a.value, &key, &value);
    ovra::ParseNumber(key, "EEPROM address", 0xFFFF);
  } else if (a.option == "--power") {
    ParseOnOff(a.value);
  } else if (a.option == "--osd") {
    ovra::ParseNumber(a.value, "OSD command", 0xFFFFFFFF);
  } else if (a.option == "--wait") {
    ovra::ParseDuration(a.value);
  }
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return *error = "cannot read " + path, false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool Run(ovra::Control& c, const Action& a, std::string* error) {
  std::string key, value;
  if (a.option == "--list") return c.List(stdout, error);
  if (a.option == "--get") {
    std::string text;
    if (!c.Get(a.value, &text, error)) return false;
    printf("%s = %s\n", a.value.c_str(), text.c_str());
    return true;
  }
  if (a.option == "--set") {
    ovra::SplitAssignment(a.value, &key, &value);
    return c.Set(key, uint32_t(ovra::ParseNumber(value, key, 0xFFFFFFFF)), error);
  }
  if (a.option == "--osd") return c.Set("osd", uint32_t(ovra::ParseNumber(a.value, "OSD command", 0xFFFFFFFF)), error);
  if (a.option == "--i2c-read") {
    const I2cAddress r = ParseI2c(a.value);
    uint16_t v = 0;
    if (!c.I2cRead(r.device, r.reg, &v, error)) return false;
    printf("i2c %02X:%04X = 0x%04X\n", r.device, r.reg, v);
    return true;
  }
  if (a.option == "--i2c-write") {
    ovra::SplitAssignment(a.value, &key, &value);
    const I2cAddress r = ParseI2c(key);
    return c.I2cWrite(r.device, r.reg, uint16_t(ovra::ParseNumber(value, "register value", 0xFFFF)), error);
  }
  if (a.option == "--eeprom-dump") {
    ovra::SplitAssignment(a.value, &key, &value);
    const size_t colon = key.find(':');
    std::vector<uint8_t> bytes;
    if (!c.EepromRead(uint32_t(ovra::ParseNumber(key.substr(0, colon), "address")),
                      uint32_t(ovra::ParseNumber(key.substr(colon + 1), "length")), &bytes, error))
      return false;
    ovra::OutputFile out;
    if (!out.Open(value, error)) return false;
    out.Write(bytes.data(), bytes.size());
    if (!out.Close(error)) return false;
    printf("eeprom %s: %zu bytes to %s\n", key.c_str(), bytes.size(), value.c_str());
    return true;
  }
  if (a.option == "--eeprom-write") {
    ovra::SplitAssignment(a.value, &key, &value);
    std::vector<uint8_t> bytes;
    if (!ReadFile(value, &bytes, error)) return false;
    return c.EepromWrite(uint32_t(ovra::ParseNumber(key, "address")), bytes, error);
  }
  if (a.option == "--firmware") {
    std::vector<uint8_t> image;
    if (!ovra::LoadIntelHex(a.value, &image, error)) return false;
    if (!c.LoadFirmware(image, error)) return false;
    printf("firmware: %zu bytes loaded\n", image.size());
    return true;
  }
  if (a.option == "--power") return c.Power(ParseOnOff(a.value), error);
  if (a.option == "--wait") {
    c.Wait(ovra::ParseDuration(a.value));
    return true;
  }
  if (a.option == "--still") {
    std::vector<uint8_t> frame;
    uint32_t width = 0, height = 0;
    if (!c.Still(&frame, &width, &height, error)) return false;
    if (!ovra::WritePng(a.value, frame.data(), width, height, error)) return false;
    printf("still: %ux%u to %s\n", width, height, a.value.c_str());
    return true;
  }
  *error = "unknown action " + a.option;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t camera = ovra::DefaultCamera();
  std::vector<Action> actions;
  bool cameraGiven = false;
  try {
    ovra::ArgReader args(argc, argv);
    while (!args.Done()) {
      const std::string o = args.Next();
      if (o == "--help") {
        args.NoValue();
        std::string names;
        for (const ovra::NamedProperty& p : ovra::NamedProperties()) names += (names.empty() ? "" : ", ") + std::string(p.name);
        printf(kUsage, ovra::FormatVidPid(ovra::DefaultCamera()).c_str(), names.c_str());
        return 0;
      }
      if (o == "--camera") {
        if (cameraGiven) throw ovra::UsageError("--camera given twice");
        if (!actions.empty()) throw ovra::UsageError("--camera must come before the actions");
        camera = ovra::ParseCamera(args.Value());
        if (ovra::FindModelInfo(camera) == nullptr)
          throw ovra::UsageError("no camera model " + ovra::FormatVidPid(camera) + " (see ovracap --list)");
        cameraGiven = true;
      } else if (o == "--list") {
        args.NoValue();
        actions.push_back({o, ""});
      } else if (o == "--get" || o == "--set" || o == "--i2c-read" || o == "--i2c-write" || o == "--eeprom-dump" ||
                 o == "--eeprom-write" || o == "--firmware" || o == "--power" || o == "--osd" || o == "--still" ||
                 o == "--wait") {
        actions.push_back({o, args.Value()});
        Check(actions.back());
      } else {
        throw ovra::UsageError("unknown option " + o + " (see --help)");
      }
    }
    if (actions.empty()) throw ovra::UsageError("nothing to do (see --help)");
  } catch (const ovra::UsageError& e) {
    fprintf(stderr, "ovractl: %s\n", e.what());
    return 2;
  }

  host::Reset();
  std::string error;
  std::unique_ptr<ovra::Control> control = ovra::Control::Open(camera, &error);
  if (control == nullptr) {
    fprintf(stderr, "ovractl: %s\n", error.c_str());
    return 1;
  }
  int status = 0;
  for (const Action& a : actions) {
    if (!Run(*control, a, &error)) {
      fprintf(stderr, "ovractl: %s: %s\n", a.option.c_str(), error.c_str());
      status = 1;
      break;
    }
  }
  control.reset();
  // The camera is gone by now: every pool block must be back.
  const std::string leaks = host::pool::LeakReport();
  if (!leaks.empty()) {
    fprintf(stderr, "ovractl: pool blocks left behind after the camera was removed:\n%s", leaks.c_str());
    status = 1;
  }
  return status;
}
