/*
 * Ingress associations: locally terminated IPv4 traffic classified into
 * flows.
 *
 * A packet reaches the association lookup when its destination entry asks
 * for it (a local-termination route, or an interface address with ingress
 * association on); that entry carries an ingress association mask naming
 * the packet fields that key the lookup. An association selects the same
 * fields (its own mask) and gives their values; the packets it matches are
 * delivered to the CPU, discarded, or handed over to a bound module.
 *
 * Ingress association mask (u16):
 *   0x01 VRD handle    0x02 IP interface   0x04 DIP     0x08 SIP
 *   0x10 PROTO         0x20 DPORT          0x40 SPORT   0x80 VRD ID
 * Not both VRD bits, no VRD bit with the interface bit, no bit above 0x80,
 * at least one bit; with DPORT or SPORT the mask without its VRD bits is
 * exactly 0x34 (DIP, PROTO, DPORT) or 0x7C (DIP, SIP, PROTO, DPORT, SPORT).
 * Ports count only for a port-carrying protocol (0 = any, 6, 17, 132, 136).
 *
 * Wildcards. The selected fields are matched in the order INTF, PROTO,
 * DIP, DPORT, SIP, SPORT; a field is a wildcard when it is a NULL
 * interface, protocol 0, an address prefix shorter than 32 or, for a
 * port-carrying protocol, port 0. After the first wildcard every later
 * selected field must be empty (protocol 0, prefix length 0, port 0).
 *
 * Every association is a flow with an id of its own (an NS ID naming a
 * state-engine record) and a flow handle. Every call takes the module
 * handle first, runs under the module's write lock and returns a status
 * word (zel_ip_status.h): 0 on success, 0x30001 for a bad module handle,
 * the framework's status with severity 3 when the lock cannot be taken;
 * the other failures are listed per call. Addresses and ports are host
 * byte order.
 */
#ifndef ZEL_IP_FLOW_H
#define ZEL_IP_FLOW_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_IAM_VRD_HANDLE 0x01u
#define ZEL_IP_IAM_INTF 0x02u
#define ZEL_IP_IAM_DIP 0x04u
#define ZEL_IP_IAM_SIP 0x08u
#define ZEL_IP_IAM_PROTO 0x10u
#define ZEL_IP_IAM_DPORT 0x20u
#define ZEL_IP_IAM_SPORT 0x40u
#define ZEL_IP_IAM_VRD_ID 0x80u

/* Actions of an association. */
#define ZEL_IP_ASSOC_BIND 1u        /* hand over to a bound module      */
#define ZEL_IP_ASSOC_SEND_TO_CPU 2u /* deliver to the CPU               */
#define ZEL_IP_ASSOC_DISCARD 3u     /* drop                             */

/* CPU delivery of a Send-to-CPU association: an NCA queue; any other
 * value of cpu_kind is a PH bind handle. */
#define ZEL_IP_CPU_PATH_NCA 2u

/* Ingress association parameters, copied whole into the flow at create.
 * Fields are used only when the mask (or the action) says so. */
typedef struct zel_ip_ingress_assoc_params {
    uint16_t mask;               /* ingress association mask (above)      */
    zel_ip_vrd_handle_t vrd;     /* mask 0x01; NULL = the default domain  */
    uint32_t vrd_id;             /* mask 0x80; 0 to 63                    */
    void *intf;                  /* mask 0x02: an IPoE or tunnel interface
                                  * handle; NULL = any interface          */
    uint32_t dip;                /* destination address                   */
    uint32_t dip_prefix_len;     /* 0 to 32; 0 = any                      */
    uint32_t sip;                /* source address                        */
    uint32_t sip_prefix_len;     /* 0 to 32; 0 = any                      */
    uint8_t proto;               /* IP protocol; 0 = any                  */
    uint16_t dport;              /* 0 = any                               */
    uint16_t sport;              /* 0 = any                               */
    uint32_t action;             /* ZEL_IP_ASSOC_*                        */
    uint8_t flow_filter;         /* 1: apply the association flow filter  */
    uint8_t policing;            /* 1: police the flow                    */
    void *policer;               /* QoS policing handle (policing 1)      */
    uint32_t cpu_kind;           /* ZEL_IP_CPU_PATH_NCA, or PH            */
    uint32_t cpu_target;         /* the NCA queue id, or the PH bind handle */
    uint8_t cpu_cb_fn_id;        /* PH callback function                  */
    uint32_t context_flow_id;    /* carried with delivered packets; 0 =
                                  * the association's own flow id         */
    void *mtm_queue;             /* traffic-manager queue of the CPU path;
                                  * NULL = none                           */
    uint8_t dscp_cpu_queue;      /* 1: the CPU queue comes from the CPU
                                  * DSCP map (zel_ip_cpu_dscp_qos_map_add) */
} zel_ip_ingress_assoc_params_t;

/* Create an ingress association. *out is set to NULL first and to the new
 * flow on success. A Send-to-CPU or Discard association is matched from
 * now on; a Bind association only once it is bound.
 * Returns 0;
 *   0x30008: NULL pointer; a mask the mask rules refuse; an action other
 *            than 1, 2, 3; Send-to-CPU with both an MTM queue and the
 *            DSCP-based CPU queue; a field given after a wildcard;
 *   0x30001: a bad VRD handle (mask 0x01) or a VRD ID above 63 (0x80);
 *   0x1030006: the interface (mask 0x02) is neither an IPoE nor a tunnel
 *            interface;
 *   the QoS service's status with severity 3 when the policer has no flow
 *   id; 0x10012 (memory); 0x3001d (no association id left: all 71,164
 *   are in use); 0x1002c (state memory); a platform failure with severity
 *   1, among them 0x10008 for a Send-to-CPU or Discard association of the
 *   one shape kept in the compressed lookup (mask 0x7D or 0xFC, UDP,
 *   DPORT 41000 to 61000), which only a bound flow may take.
 * A create that fails after taking the association id withdraws what it
 * had programmed, returns the id and frees the record; only a withdrawal
 * that fails as well leaves the id taken (and says so in the log). */
ZEL_IP_EXPORT uint32_t zel_ip_ingress_association_create(zel_module_t *module,
                                                         const zel_ip_ingress_assoc_params_t *params,
                                                         zel_ip_flow_handle_t *out);

/* Delete an ingress association: its lookup entry, policing entry and CPU
 * path, then its id and the record. Returns 0; 0x30008 ("Invalid Flow
 * handle": not a live flow; "Invalid flow handle parameter": a flow of
 * another kind); 0x3000f while something still uses the association (the
 * log names it); a platform failure with severity 1 (0x1001e: the id
 * could not be returned). A delete that fails partway keeps the
 * association; repeating it goes on from the failed step. */
ZEL_IP_EXPORT uint32_t zel_ip_ingress_association_delete(zel_module_t *module, zel_ip_flow_handle_t flow);

/* The parameter check of create alone (takes no lock, changes nothing):
 * 0, or 0x30008 / 0x30001 / 0x1030006 as create returns them, with the
 * check's message logged at ERROR. */
ZEL_IP_EXPORT uint32_t zel_ipv4_valid_ingress_association_info(zel_module_t *module,
                                                               const zel_ip_ingress_assoc_params_t *params);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_FLOW_H */
