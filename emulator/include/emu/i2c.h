// The I2C bus the bridge drives, one byte per vendor request 0xC3, and the
// interface of the devices attached to it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace emu {

// Flags of one byte, as the high byte of wValue of request 0xC3 carries them.
constexpr uint8_t kI2cStart = 0x01;
constexpr uint8_t kI2cData = 0x02;
constexpr uint8_t kI2cStop = 0x04;
constexpr uint8_t kI2cAck = 0x08;

// A device on the bus. The bus calls Address after a start condition with
// the 8-bit address byte (bit 0 set for a read); the device that returns true
// owns the message until the stop.
class I2cDevice {
 public:
  virtual ~I2cDevice() = default;
  // Acknowledge (true) the address byte if it is one of ours.
  virtual bool Address(uint8_t address8) = 0;
  // A byte written by the master; return true to acknowledge.
  virtual bool Write(uint8_t byte) = 0;
  // A byte read by the master; `masterAck` tells whether the master will
  // acknowledge it (another byte follows).
  virtual uint8_t Read(bool masterAck) = 0;
  // Stop condition (or a new start) ends the message.
  virtual void Stop() = 0;
};

// One byte as it crossed the bus.
struct I2cByte {
  uint8_t flags = 0;     // as requested
  uint8_t written = 0;   // byte the master sent (0xFF for a read)
  uint8_t sampled = 0;   // byte seen on the bus (the data of a read)
  bool acked = false;    // ninth bit low
};

class I2cBus {
 public:
  // Devices answer at their 8-bit write address and that address + 1.
  void Attach(uint8_t address8, std::shared_ptr<I2cDevice> device);
  void Detach(uint8_t address8);
  I2cDevice* DeviceAt(uint8_t address8) const;

  // Moves one byte with the given flags, as request 0xC3 asks the bridge to:
  // a start condition first if kI2cStart, the byte (written, or 0xFF and read
  // if the message is a read), the ninth bit (from the device on a write,
  // from kI2cAck on a read), then a stop condition if kI2cStop.
  I2cByte Transfer(uint8_t flags, uint8_t byte);

  const std::vector<I2cByte>& Log() const { return log_; }
  void ClearLog() { log_.clear(); }

  // Fault: the next `times` bytes equal to `byte` written by the master are
  // not acknowledged and do not reach any device (an address byte then leaves
  // its whole message unanswered). `addressOnly` limits the fault to address
  // bytes, `dataOnly` to bytes inside a message.
  void NakByte(uint8_t byte, int times, bool addressOnly = false, bool dataOnly = false);
  void ClearFaults() { naks_.clear(); }
  // A message is in progress (a start seen, no stop yet).
  bool InMessage() const { return inMessage_; }

 private:
  struct Nak {
    uint8_t byte;
    int times;
    bool addressOnly;
    bool dataOnly;
  };
  bool TakeNak(uint8_t byte, bool address);

  std::map<uint8_t, std::shared_ptr<I2cDevice>> devices_;
  I2cDevice* current_ = nullptr;  // owner of the message in progress
  bool reading_ = false;
  bool addressPhase_ = false;
  std::vector<I2cByte> log_;
  std::vector<Nak> naks_;
  bool inMessage_ = false;
};

// Something that watches the bridge's port byte (request 0xC8): the
// capture-mode code, the untriggered bit and the Pixim clock and data lines.
class PortListener {
 public:
  virtual ~PortListener() = default;
  virtual void OnPort(uint8_t value) = 0;
};

// Something that watches the head power switched by request 0xC4.
class PowerListener {
 public:
  virtual ~PowerListener() = default;
  virtual void OnPower(bool on) = 0;
};

}  // namespace emu
