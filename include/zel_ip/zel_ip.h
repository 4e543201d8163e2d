/*
 * libzel-ip: the IPv4 fast-path configuration library. Umbrella header.
 */
#ifndef ZEL_IP_H
#define ZEL_IP_H

#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_core.h"
#include "zel_ip/zel_ip_route.h"
#include "zel_ip/zel_ip_interface.h"
#include "zel_ip/zel_ip_tunnel.h"
#include "zel_ip/zel_ip_vif.h"
#include "zel_ip/zel_ip_diag.h"
#include "zel_ip/zel_ip_exception.h"
#include "zel_ip/zel_ip_napt.h"
#include "zel_ip/zel_ip_flow.h"
#include "zel_ip/zel_ip_qos.h"
#include "zel_ip/zel_ip_settings.h"
#include "zel_ip/zel_ip_egress.h"
#include "zel_ip/zel_ip_filter.h"
#include "zel_ip/zel_ip_attr.h"
#include "zel_ip/zel_ip_capture.h"
#include "zel_ip/zel_ip_compact.h"
#include "zel_ip/zel_ip_pbr.h"
#include "zel_ip/zel_ip_basic_filter.h"
#include "zel_ip/zel_ip_assoc_filter.h"
#include "zel_ip/zel_ip_bind.h"
#include "zel_ip/zel_ip_stats.h"

#endif /* ZEL_IP_H */
