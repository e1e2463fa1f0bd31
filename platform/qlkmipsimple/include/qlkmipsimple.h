/*
 * qlkmipsimple: a small KMIP 1.1 client (TTLV over TLS 1.2+, optional HTTP CONNECT proxy).
 *
 * A session is described by a specification text:
 *   Presentation={Protocol=KMIP, Version='1.1', Format=TTLV}, Session = {
 *   [Proxy={Protocol=HTTP, Host='H', Port='P'},]
 *   Protocol=SSL, Host='H', Port='P', Timeout=N:Seconds,
 *   [Certificate=PEM:[hex], Public=PEM:[hex], Private=PEM:[hex],]
 *   User_Trust, Authenticate}[, Trusted_Cert=PEM:[hex]]...
 * PEM objects are hex-encoded (two lower- or upper-case digits a byte). The time-out applies to
 * connect, the proxy exchange, the TLS handshake and each request/response.
 *
 * Trust: with Trusted_Cert entries the server must chain to one of them (partial chains allowed,
 * so a pinned server certificate is enough); a server whose presented certificate is itself
 * pinned is accepted whatever its host name, otherwise the host name must match the
 * certificate's subject alternative names. Without any Trusted_Cert the handshake fails as
 * untrusted (QLC_UNTRUSTED) and the presented certificate is kept in the result for
 * qlc_fetch_server_credentials.
 *
 * Commands for qlc_perform (printf-like: every %s is filled from the arguments in order):
 *   "Get, Object, Id=%s"                      KMIP Get; path "Symmetric_Key/Key" (bytes)
 *   "Get, Attributes, Id=%s, Names=State"     KMIP Get Attributes; path "Attributes/State" (int)
 *   "Query, Versions"                         KMIP Discover Versions; node "Versions" with one
 *                                             child per version, read with "%s" as "major.minor"
 * Any command may end in ", Options={Authentication={User=%s, Password=%s}}", which adds a
 * username-and-password Credential to the request header.
 *
 * Ownership: every qlc_result* is released once with qlc_release; pointers returned by
 * qlc_value_of ("bs", "%s") are freed with qlc_free (key bytes are wiped when freed);
 * credentials with qlc_free_credentials; a session with qlc_disconnect_key_manager. Nodes and
 * qlc_explain texts are owned by their result.
 */
#ifndef QLKMIPSIMPLE_H
#define QLKMIPSIMPLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status values returned by qlc_ok, qlc_value_of and qlc_fetch_server_credentials. */
enum {
  QLC_OK = 0,
  QLC_COMMUNICATION = 75,   /* resolution, connect, reset, proxy refusal, TLS failure */
  QLC_TIMEOUT = 105,        /* a step did not finish within the time-out */
  QLC_UNTRUSTED = 110,      /* the server's certificate is not trusted (handshake reached it) */
  QLC_KMIP_FAILURE = 200,   /* the server answered with a failure result (reason in qlc_explain) */
  QLC_BAD_RESPONSE = 201,   /* the response is malformed, truncated, oversized or unexpected */
  QLC_NOT_FOUND = 202,      /* the path names no node, or the node holds another type */
  QLC_BAD_SPEC = 203,       /* the specification text does not parse */
  QLC_BAD_COMMAND = 204,    /* unknown command text, or missing arguments */
  QLC_BAD_ARGUMENT = 205,   /* a null or invalid argument, or an unknown value format */
  QLC_NO_CREDENTIALS = 206, /* no presented server certificate is held by this result */
  QLC_NO_MEMORY = 207       /* an allocation failed */
};

/* Credential format codes of qlc_credentials. */
enum { QLC_CRED_PEM = 1 };

typedef struct qlc_session qlc_session;
typedef struct qlc_result qlc_result;
typedef struct qlc_node qlc_node;

typedef struct qlc_credentials {
  uint32_t format;     /* QLC_CRED_PEM */
  unsigned char* data; /* the certificate text, not NUL-terminated */
  uint32_t length;     /* bytes of data */
} qlc_credentials;

/* Opens a session. Always returns a result (never NULL, but for an allocation failure); on
 * status 0 *session is set and must be closed with qlc_disconnect_key_manager. */
qlc_result* qlc_connect_key_manager(qlc_session** session, const char* spec);

/* Runs one command on an open session; returns its result (see qlc_ok). */
qlc_result* qlc_perform(qlc_session* session, const char* command, ...);

/* 0 on success, else one of the status values above. A NULL result gives QLC_NO_MEMORY. */
int qlc_ok(const qlc_result* result);

/* The reason text of a failed result ("" on success); owned by the result. */
const char* qlc_explain(const qlc_result* result);

/* Frees a result and everything it owns. NULL is allowed. */
void qlc_release(qlc_result* result);

/* First node at PATH under a result's payload (segments joined by '/'); a trailing '/' gives
 * the first child of that node. NULL when absent. */
const qlc_node* qlc_find(const char* path, const qlc_result* result);

/* Next sibling of a node, or NULL. */
const qlc_node* qlc_next(const qlc_node* node);

/* Reads the value at PATH under WHERE, which is a qlc_result* or a qlc_node* (PATH NULL or ""
 * means WHERE itself when it is a node). Formats:
 *   "d"  int*                       an Integer or Enumeration
 *   "bs" unsigned char**, int32_t*  a Byte String, copied; free with qlc_free
 *   "%s" char**                     a Text String (or a version node as "major.minor"),
 *                                   NUL-terminated copy; free with qlc_free
 * Returns 0 or a status value. */
int qlc_value_of(const char* path, const void* where, const char* format, ...);

/* Frees a pointer returned by qlc_value_of, wiping it first. NULL is allowed. */
void qlc_free(void* pointer);

/* From the result of a connect whose status was QLC_UNTRUSTED: the certificate the server
 * presented. Returns 0 and sets *credentials, or a status (reason in qlc_explain(result)). */
int qlc_fetch_server_credentials(qlc_result* result, qlc_credentials** credentials);

void qlc_free_credentials(qlc_credentials* credentials);

/* Closes the TLS session and frees it. NULL is allowed. */
void qlc_disconnect_key_manager(qlc_session* session);

#ifdef __cplusplus
}
#endif

#endif /* QLKMIPSIMPLE_H */
