// Emulated camera heads on the bridge's I2C bus and port lines: register
// devices with 8- or 16-bit registers and values, the relay controller that
// forwards accesses to devices behind it, and the receiver of three-bit
// commands clocked on the port byte. Each keeps a register file that tests
// read and write directly, and a log of what reached it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "i2c.h"

namespace emu {

// One register write that reached a device, in arrival order.
struct RegisterWrite {
  uint8_t device = 0;  // 8-bit write address of the device
  uint16_t reg = 0;
  uint16_t value = 0;
  bool operator==(const RegisterWrite& o) const { return device == o.device && reg == o.reg && value == o.value; }
};

// Register devices directly on the bus. Each port is one bus address with its
// own register file. A write message is [address] [register bytes] [value
// bytes...]: the register bytes set the register pointer, each complete value
// is stored and advances it. A read message returns values from the pointer,
// high byte first, advancing after each complete value. A value left
// incomplete at the stop is dropped.
class RegisterHead : public I2cDevice, public std::enable_shared_from_this<RegisterHead> {
 public:
  struct Port {
    uint8_t address8 = 0;   // write address; address8 + 1 reads
    int registerBytes = 1;  // 1 or 2
    int valueBytes = 1;     // 1 or 2
  };

  explicit RegisterHead(std::vector<Port> ports);
  RegisterHead(uint8_t address8, int registerBytes, int valueBytes);

  // Attaches the head to the bus at every port address (the head must be
  // owned by a shared_ptr).
  void AttachTo(I2cBus& bus);
  const std::vector<Port>& Ports() const { return ports_; }

  // The register file of a port (by its write address), or of the first port.
  uint16_t Get(uint8_t address8, uint16_t reg) const;
  void Set(uint8_t address8, uint16_t reg, uint16_t value);
  uint16_t Get(uint16_t reg) const { return Get(ports_.front().address8, reg); }
  void Set(uint16_t reg, uint16_t value) { Set(ports_.front().address8, reg, value); }

  // Every value stored by a write message, in order.
  const std::vector<RegisterWrite>& Writes() const { return writes_; }
  // The values written to one register, in order.
  std::vector<uint16_t> WritesOf(uint8_t address8, uint16_t reg) const;
  std::vector<uint16_t> WritesOf(uint16_t reg) const { return WritesOf(ports_.front().address8, reg); }
  void ClearWrites() { writes_.clear(); }

  // The head refuses the next `count` acknowledges it would give (address or
  // written bytes), as a busy device does; a refused address leaves the rest
  // of the message unanswered.
  void RefuseAcks(long count) { refusals_ = count; }
  long RefusalsLeft() const { return refusals_; }
  // Acknowledges refused so far.
  long Refused() const { return refused_; }

  bool Address(uint8_t address8) override;
  bool Write(uint8_t byte) override;
  uint8_t Read(bool masterAck) override;
  void Stop() override;

 private:
  int PortIndex(uint8_t address8) const;
  bool Refuse();

  std::vector<Port> ports_;
  std::vector<std::map<uint16_t, uint16_t>> files_;
  std::vector<RegisterWrite> writes_;
  long refusals_ = 0;
  long refused_ = 0;
  // The message in progress.
  int port_ = -1;
  bool reading_ = false;
  uint16_t pointer_ = 0;
  int registerBytesSeen_ = 0;
  uint32_t pending_ = 0;
  int pendingBytes_ = 0;
};

// The relay controller at write address 0x70 (read 0x71). A command message
// [0x70] [command] [a] [b] names the target; the value travels in the next
// message: [0x70] [value bytes] for a write, [0x71] [read bytes] for a read.
//   0x00 device, register: write of an 8-bit device behind it
//   0x01 device | 1, register: read of an 8-bit device
//   0x02 register high, low: write of the 16-bit device 0xBA (two value bytes)
//   0x03 register high, low: read of the 16-bit device 0xBA (two bytes, high first)
//   0x80 number 0..7, register: write of a device of the second bank
//   0x81 number 0..7, register: read of a device of the second bank
// Anything else (an unknown command, a bank number above 7, a value with no
// command before it, a message cut short) is refused and counted.
class RelayController : public I2cDevice, public std::enable_shared_from_this<RelayController> {
 public:
  static constexpr uint8_t kAddress = 0x70;
  static constexpr uint8_t kWideDevice = 0xBA;

  enum class Kind { kWrite8, kRead8, kWrite16, kRead16, kBankWrite, kBankRead };
  // One access forwarded to a device behind the controller.
  struct Access {
    Kind kind = Kind::kWrite8;
    uint8_t device = 0;  // write address of an 8-bit device, 0xBA, or the bank number
    uint16_t reg = 0;
    uint16_t value = 0;  // written, or returned
    bool operator==(const Access& o) const {
      return kind == o.kind && device == o.device && reg == o.reg && value == o.value;
    }
  };

  void AttachTo(I2cBus& bus);

  // Register files of the devices behind the controller.
  uint8_t Get8(uint8_t device8, uint8_t reg) const;
  void Set8(uint8_t device8, uint8_t reg, uint8_t value);
  uint16_t Get16(uint16_t reg) const;
  void Set16(uint16_t reg, uint16_t value);
  uint8_t GetBank(uint8_t number, uint8_t reg) const;
  void SetBank(uint8_t number, uint8_t reg, uint8_t value);

  const std::vector<Access>& Accesses() const { return accesses_; }
  void ClearAccesses() { accesses_.clear(); }
  long ProtocolErrors() const { return errors_; }

  bool Address(uint8_t address8) override;
  bool Write(uint8_t byte) override;
  uint8_t Read(bool masterAck) override;
  void Stop() override;

 private:
  enum class Phase { kIdle, kCommand, kValue, kRead, kRejected };
  int ValueBytes(Kind kind) const;
  void Complete(Kind kind, uint16_t value);

  std::map<uint16_t, uint8_t> files8_;    // device8 << 8 | register
  std::map<uint16_t, uint16_t> file16_;   // 0xBA
  std::map<uint16_t, uint8_t> bank_;      // number << 8 | register
  std::vector<Access> accesses_;
  long errors_ = 0;

  // Target named by the last command message, waiting for its value message.
  bool armed_ = false;
  Kind kind_ = Kind::kWrite8;
  uint8_t device_ = 0;
  uint16_t reg_ = 0;

  // The message in progress.
  Phase phase_ = Phase::kIdle;
  std::vector<uint8_t> bytes_;
  int readIndex_ = 0;
  uint16_t readValue_ = 0;
};

// Receiver of the three-bit commands clocked on the port byte: clock on bit 3,
// data on bit 2. A command starts with the data line rising while the clock is
// high; then three bits follow, least significant first, each sampled on a
// rising clock edge.
class PiximReceiver : public PortListener {
 public:
  static constexpr uint8_t kClock = 0x08;
  static constexpr uint8_t kData = 0x04;

  struct Command {
    uint8_t value = 0;           // the three bits
    std::vector<uint8_t> ports;  // every port byte from the step before the start to the last
  };

  void OnPort(uint8_t value) override;

  const std::vector<Command>& Commands() const { return commands_; }
  std::vector<uint8_t> Values() const;
  const std::vector<uint8_t>& PortBytes() const { return portBytes_; }
  // Starts seen before the command in progress had all three bits.
  long Broken() const { return broken_; }
  void Clear();

 private:
  std::vector<Command> commands_;
  std::vector<uint8_t> portBytes_;
  bool receiving_ = false;
  int bits_ = 0;
  Command current_;
  uint8_t last_ = 0;
  long broken_ = 0;
};

// Shape of an emulated Generic head.
struct GenericHeadShape {
  uint8_t address8 = 0xB0;
  int registerBytes = 1;
  int valueBytes = 2;
};

// The emulated head of one camera model: the relay controller (CCD, Larch,
// Rowan), a register head (Alder, Birch, Cedar, OV7740, Generic) or the
// command receiver (Maple).
struct EmulatedHead {
  std::shared_ptr<RelayController> relay;
  std::shared_ptr<RegisterHead> registers;
  std::shared_ptr<PiximReceiver> pixim;
};

// Builds the head of a model type (0..8) and attaches its bus devices; the
// caller connects `pixim` to the port lines. Unknown types give an empty head.
EmulatedHead MakeHead(uint32_t modelType, I2cBus& bus, const GenericHeadShape& generic = {});

// The same for a bridge (anything with I2c() and AddPortListener()).
template <class BridgeT>
EmulatedHead AttachHead(BridgeT& bridge, uint32_t modelType, const GenericHeadShape& generic = {}) {
  EmulatedHead head = MakeHead(modelType, bridge.I2c(), generic);
  if (head.pixim) bridge.AddPortListener(head.pixim);
  return head;
}

}  // namespace emu
