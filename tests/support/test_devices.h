// Identities and report descriptors of virtual test devices.
#pragma once

#include "hidlib/vhid_protocol.h"

#include <string>
#include <vector>

// A vendor-defined device with report ID 1 and 64-byte input and output reports.
inline const std::vector<uint8_t> vendor_64_descriptor{
    0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
    0x09, 0x01,       // Usage 1
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID 1
    0x15, 0x00,       //   Logical Minimum 0
    0x26, 0xFF, 0x00, //   Logical Maximum 255
    0x75, 0x08,       //   Report Size 8
    0x95, 0x40,       //   Report Count 64
    0x09, 0x01,       //   Usage 1
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0x02,       //   Usage 2
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xC0,             // End Collection
};

// A 65-byte report with its ID and a first data byte that tells it apart.
inline std::vector<uint8_t> report_with(uint8_t id, uint8_t first) {
    std::vector<uint8_t> r(65, 0);
    r[0] = id;
    r[1] = first;
    return r;
}

inline vhid_protocol::Info identity(std::string serial, uint16_t vendor = 0x1234, uint16_t product = 0x5678,
                                    std::vector<uint8_t> descriptor = vendor_64_descriptor) {
    vhid_protocol::Info i;
    i.vendor = vendor;
    i.product = product;
    i.version = 0x0103;
    i.manufacturer = "Maker";
    i.product_name = "Widget";
    i.serial = std::move(serial);
    i.descriptor = std::move(descriptor);
    return i;
}
