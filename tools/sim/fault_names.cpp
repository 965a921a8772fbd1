#include "tools/sim/fault_names.h"

#include <array>
#include <charconv>
#include <utility>
#include <vector>

namespace klv::sim {

namespace {

struct StepName {
    FaultStep step;
    std::string_view name;
    std::string_view what;
};

constexpr std::array<StepName, 13> kSteps = {{
    {FaultStep::Sync, "sync", "the sync reply"},
    {FaultStep::Size, "size", "the packet-size reply"},
    {FaultStep::Identify, "identify", "the identify reply"},
    {FaultStep::VersionAck, "version-ack", "the acknowledgement of the version request"},
    {FaultStep::VersionEntry, "entry", "version entry"},
    {FaultStep::ListEnd, "list-end", "the end of the version list"},
    {FaultStep::Image2Start, "image2-start", "the acknowledgement of image 2's start"},
    {FaultStep::Image2Chunk, "image2-chunk", "the acknowledgement of image 2's chunk"},
    {FaultStep::Image2End, "image2-end", "the acknowledgement of image 2's end"},
    {FaultStep::Image1Start, "image1-start", "the acknowledgement of image 1's start"},
    {FaultStep::Image1Chunk, "image1-chunk", "the acknowledgement of image 1's chunk"},
    {FaultStep::Image1End, "image1-end", "the acknowledgement of image 1's end"},
    {FaultStep::Finish, "finish", "the acknowledgement of the finish command"},
}};

struct KindName {
    FaultKind kind;
    std::string_view name;
    std::string_view what;
};

constexpr std::array<KindName, 6> kKinds = {{
    {FaultKind::NoReply, "no-reply", "the reply is not sent"},
    {FaultKind::MalformedHeader, "malformed",
     "a header outside the packet table (a fixed-length reply one byte too long, otherwise "
     "command 0x02)"},
    {FaultKind::UnexpectedReply, "unexpected", "03 02 02 00 00 00 instead of the reply"},
    {FaultKind::ChangedPayload, "changed",
     "the right packet with another payload: sync byte 0 is 01; packet size 4; identify "
     "protocol field 01 02; entry with a 2-byte payload and no text; list end and "
     "acknowledgements with payload FF FF"},
    {FaultKind::DeviceGone, "gone", "the instrument disappears instead of replying"},
    {FaultKind::Delay, "delay", "the right reply after MS milliseconds (MS required)"},
}};

bool ParseInt(std::string_view text, int* value) {
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size() && *value >= 0;
}

}  // namespace

bool FaultStepHasIndex(FaultStep step) {
    return step == FaultStep::VersionEntry || step == FaultStep::Image1Chunk ||
           step == FaultStep::Image2Chunk;
}

std::string_view FaultStepDescription(FaultStep step) {
    for (const auto& s : kSteps) {
        if (s.step == step) {
            return s.what;
        }
    }
    return "?";
}

std::string_view FaultStepName(FaultStep step) {
    for (const auto& s : kSteps) {
        if (s.step == step) {
            return s.name;
        }
    }
    return "?";
}

std::string_view FaultKindName(FaultKind kind) {
    for (const auto& k : kKinds) {
        if (k.kind == kind) {
            return k.name;
        }
    }
    return "?";
}

std::string FaultName(const Fault& fault) {
    std::string text(FaultStepName(fault.step));
    if (fault.index != 0 || FaultStepHasIndex(fault.step)) {
        text += ':';
        text += std::to_string(fault.index);
    }
    text += ':';
    text += FaultKindName(fault.kind);
    if (fault.kind == FaultKind::Delay) {
        text += ':';
        text += std::to_string(fault.delayMs);
    }
    return text;
}

std::optional<Fault> ParseFault(std::string_view text, std::string* error) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(
            text.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    auto fail = [&](std::string why) -> std::optional<Fault> {
        *error = "fault \"" + std::string(text) + "\": " + std::move(why);
        return std::nullopt;
    };

    Fault fault;
    size_t next = 0;
    bool stepFound = false;
    for (const auto& s : kSteps) {
        if (s.name == parts[next]) {
            fault.step = s.step;
            stepFound = true;
        }
    }
    if (!stepFound) {
        return fail("unknown step \"" + std::string(parts[next]) + "\"");
    }
    ++next;
    if (next < parts.size() && ParseInt(parts[next], &fault.index)) {
        ++next;
    }
    if (next >= parts.size()) {
        return fail("no kind given");
    }
    bool kindFound = false;
    for (const auto& k : kKinds) {
        if (k.name == parts[next]) {
            fault.kind = k.kind;
            kindFound = true;
        }
    }
    if (!kindFound) {
        return fail("unknown kind \"" + std::string(parts[next]) + "\"");
    }
    ++next;
    if (fault.kind == FaultKind::Delay) {
        if (next >= parts.size() || !ParseInt(parts[next], &fault.delayMs)) {
            return fail("a delay needs its milliseconds, as in finish:delay:800");
        }
        ++next;
    }
    if (next != parts.size()) {
        return fail("unexpected \"" + std::string(parts[next]) + "\"");
    }
    return fault;
}

std::string FaultNamesHelp() {
    std::string text =
        "Steps (K counts from 0 and defaults to 0; on steps without a K of their own it counts "
        "the times the step is reached):\n";
    for (const auto& s : kSteps) {
        text += "  " + std::string(s.name) + std::string(14 - s.name.size(), ' ') +
                std::string(s.what) + (FaultStepHasIndex(s.step) ? " K" : "") + "\n";
    }
    text += "Kinds:\n";
    for (const auto& k : kKinds) {
        text += "  " + std::string(k.name) + std::string(14 - k.name.size(), ' ') +
                std::string(k.what) + "\n";
    }
    return text;
}

}  // namespace klv::sim
