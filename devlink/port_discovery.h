// Finding the serial ports that can be opened right now: the device registry's FTDI, ACPI and USB
// instances that have a friendly name and a COM port name, kept only when a brief exclusive open
// of the port succeeds. Only appends to the lists it is given; prints one line, when it found
// nothing and was asked to report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kComPrefix = "COM";

// Each list may be null; every list given gains one entry per port found, in the same order.
// The number of ports found.
int FindSerialPorts(std::vector<std::string>* portNames, std::vector<std::string>* portNumbers,
                    std::vector<std::string>* descriptions, bool report);
int FindSerialPortDescriptions(std::vector<std::string>& descriptions, bool report);
int FindSerialPortNumbers(std::vector<std::string>& portNumbers, bool report);

// The pure halves of the walk.

// Only the first three characters count, case and all: COMX passes, com3 and LPT1 do not.
bool HasComPrefix(const std::string& portName);
// The port name with every "COM" taken out in one pass: COM12 gives 12.
std::string PortNumberText(const std::string& portName);
std::string DescriptionLine(const std::string& portName, const char* kindText,
                            const std::string& friendlyName);
