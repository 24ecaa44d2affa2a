// The firmware update's sending order, payloads and progress, apart from any window.
#include "update/update_procedure.h"

#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/commands.h"
#include "protocol/link.h"

#include <algorithm>
#include <cmath>

namespace {
// Address (2), length (2), then the block; big-endian. The length is always a full block.
std::vector<uint8_t> write_payload(uint16_t address, const QByteArray& block) {
    std::vector<uint8_t> p;
    p.reserve(4 + static_cast<std::size_t>(block.size()));
    p.push_back(static_cast<uint8_t>(address >> 8));
    p.push_back(static_cast<uint8_t>(address & 0xFF));
    p.push_back(static_cast<uint8_t>(update_block_size >> 8));
    p.push_back(static_cast<uint8_t>(update_block_size & 0xFF));
    p.insert(p.end(), block.begin(), block.end());
    return p;
}

enum class Sent { all, failed, stopped };

Sent send_images(const QByteArray& flash, const QByteArray& eeprom, const UpdateSteps& steps,
                 const UpdateSend& send, int& blocks) {
    const double total = static_cast<double>(flash.size()) + static_cast<double>(eeprom.size());
    qsizetype taken = 0;
    QByteArray block(update_block_size, '\xFF');
    const auto send_image = [&](const QByteArray& image, bool is_flash) {
        for (qsizetype at = 0; at < image.size(); at += update_block_size) {
            const qsizetype n = std::min<qsizetype>(update_block_size, image.size() - at);
            block.fill('\xFF');
            std::copy_n(image.constData() + at, n, block.data());
            if (steps.go_on && !steps.go_on())
                return Sent::stopped;
            const auto address = static_cast<uint16_t>(at);
            if (!(is_flash ? send_flash_block(address, block, send) : send_eep_block(address, block, send)))
                return Sent::failed;
            ++blocks;
            taken += n;
            // Image bytes over all image bytes, rounded half to even; the last block gives 100.
            if (steps.progress)
                steps.progress(static_cast<int>(std::nearbyint(static_cast<double>(taken) / total * 100.0)));
        }
        return Sent::all;
    };
    const Sent f = send_image(flash, true);
    return f == Sent::all ? send_image(eeprom, false) : f;
}

UpdateResult send_checked(UpdateResult result, const UpdateImages& images, const UpdateSteps& steps,
                          const UpdateSend& send, const UpdatePost& post) {
    if (steps.sending)
        steps.sending();
    switch (send_images(images.flash, images.eeprom, steps, send, result.blocks_sent)) {
    case Sent::failed:
        result.outcome = UpdateOutcome::block_failed;
        return result;
    case Sent::stopped:
        result.outcome = UpdateOutcome::stopped;
        return result;
    case Sent::all:
        break;
    }
    post(Request{cmd_finish, {}});
    result.outcome = UpdateOutcome::sent;
    return result;
}
} // namespace

UpdatePost post_holding_for_answer(Link& link) {
    return [&link](const Request& r) {
        link.ui.hold_for_answer(timings::finish_answer);
        link.mailbox.post(r);
    };
}

bool send_erase(uint16_t address, const UpdateSend& send) {
    return send(
        Request{cmd_erase, {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF)}});
}

bool send_flash_block(uint16_t address, const QByteArray& block, const UpdateSend& send) {
    if ((address & update_erase_mask) == 0)
        (void)send_erase(address, send); // a failed erase shows in the write that follows
    return send(Request{cmd_write_flash, write_payload(address, block)});
}

bool send_eep_block(uint16_t address, const QByteArray& block, const UpdateSend& send) {
    return send(Request{cmd_write_eep, write_payload(address, block)});
}

UpdateResult run_update(const QString& file, const QString& unit_name, const UpdateSteps& steps,
                        const UpdateSend& send, const UpdatePost& post) {
    UpdateResult result;
    UpdateImages images;
    try {
        const UpdateFile loaded = load_update_file(file);
        const UpdateHeader header = read_header(loaded);
        result.header = header.inf;
        // The name is checked before the images are built: a file for another model is refused as
        // such even when its records are damaged too.
        if (!name_rule_accepts(header.inf, unit_name)) {
            result.outcome = UpdateOutcome::wrong_file;
            return result;
        }
        images = build_images(loaded, header.area);
    } catch (const UpdateFileError& e) {
        result.outcome = UpdateOutcome::unreadable_file;
        result.error = QString::fromStdString(e.what());
        return result;
    }
    return send_checked(result, images, steps, send, post);
}

UpdateResult run_update(const UpdatePackage& package, const QString& unit_name, const UpdateSteps& steps,
                        const UpdateSend& send, const UpdatePost& post) {
    UpdateResult result;
    result.header = package.header.inf;
    if (!name_rule_accepts(package.header.inf, unit_name)) {
        result.outcome = UpdateOutcome::wrong_file;
        return result;
    }
    return send_checked(result, package.images, steps, send, post);
}
