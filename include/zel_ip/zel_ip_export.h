/*
 * ZEL_IP_EXPORT: marks a declaration of the public C API.
 *
 * The library is compiled with hidden visibility, so a function or object
 * is exported from libzel-ip.so only when its public declaration carries
 * this macro (and its name matches the library's symbol list,
 * src/zel-ip.map). Every other public header includes this one:
 *
 *     ZEL_IP_EXPORT uint32_t zel_ip_thing_create(zel_module_t *module, ...);
 *     ZEL_IP_EXPORT extern const uint32_t ip_thing_table[4];
 *
 * For a consumer the attribute changes nothing. A build that must not use
 * it (another compiler, a static-only build) may define ZEL_IP_EXPORT
 * itself before including the headers.
 */
#ifndef ZEL_IP_EXPORT_H
#define ZEL_IP_EXPORT_H

#ifndef ZEL_IP_EXPORT
#if defined(__GNUC__) || defined(__clang__)
#define ZEL_IP_EXPORT __attribute__((visibility("default")))
#else
#define ZEL_IP_EXPORT
#endif
#endif

#endif /* ZEL_IP_EXPORT_H */
