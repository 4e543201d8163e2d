// Rules of the ingress association mask (see zel_ip_assoc_mask.h).
#include "tree/zel_ip_assoc_mask.h"

#include "core/zel_ip_call.h"

using namespace zel::ip;

namespace {

// The mask's ERROR message; without a usable module handle (the check is
// exported) in the anonymous form.
uint32_t refuse(zel_module_t *m, Site s, const char *fmt, uint16_t mask) {
    if (module_handle_ok(m))
        return reject(m, ZEL_E_INVALID_PARAM, s, true, fmt, static_cast<unsigned>(mask));
    return reject_anon(ZEL_E_INVALID_PARAM, s, true, fmt, static_cast<unsigned>(mask));
}

}  // namespace

extern "C" uint32_t zel_ipv4_valid_ingress_association_mask(zel_module_t *module, uint16_t mask) {
    constexpr uint16_t kVrdBoth = kIamVrdHandle | kIamVrdId;
    constexpr uint16_t kPorts = kIamDport | kIamSport;
    // 1-2. Only bits 0 to 7, and at least one of them.
    if ((mask & 0xff00) || (mask & 0x00ff) == 0)
        return refuse(module, ZEL_SITE, "Invalid ingress association rule mask %x\n", mask);
    // 3-5. One way of naming the domain or the interface.
    if ((mask & kVrdBoth) == kVrdBoth)
        return refuse(module, ZEL_SITE,
                      "Mask bit cannot be set for both VRD Handle and VRD ID. Invalid ingress "
                      "association rule mask %x\n",
                      mask);
    if ((mask & (kIamVrdHandle | kIamIntf)) == (kIamVrdHandle | kIamIntf))
        return refuse(module, ZEL_SITE,
                      "Mask bit cannot be set for both VRD Handle and IP Intf. Invalid ingress "
                      "association rule mask %x\n",
                      mask);
    if ((mask & (kIamVrdId | kIamIntf)) == (kIamVrdId | kIamIntf))
        return refuse(module, ZEL_SITE,
                      "Mask bit cannot be set for both VRD ID and IP Intf. Invalid ingress "
                      "association rule mask %x\n",
                      mask);
    // 6. Ports only in the two shapes the lookup supports.
    if (mask & kPorts) {
        uint16_t shape = mask & static_cast<uint16_t>(~kVrdBoth);
        if (shape != (kIamDip | kIamProto | kIamDport) &&
            shape != (kIamDip | kIamSip | kIamProto | kIamDport | kIamSport))
            return refuse(module, ZEL_SITE, "Unsupported ingress association rule mask %x\n", mask);
    }
    return 0;
}
