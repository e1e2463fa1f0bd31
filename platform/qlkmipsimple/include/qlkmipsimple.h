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
 * The specification is parsed strictly (exactly this layout and spacing); ports 1..65535, time-out
 * 1..86400 seconds, each PEM object at most 64 KiB decoded, at most 256 Trusted_Cert entries.
 *
 * Trust: with Trusted_Cert entries the server must chain to one of them (partial chains allowed,
 * so a pinned server certificate is enough); a server whose presented certificate is itself
 * pinned is accepted whatever its host name, otherwise the host name must match the
 * certificate's subject alternative names. Without any Trusted_Cert the server is never trusted.
 * Every untrusted case stops the handshake as soon as the server's certificate arrives (before
 * the client certificate is sent) with QLC_UNTRUSTED, and the presented certificate is kept in
 * the result for qlc_fetch_server_credentials. Because the client offers no anonymous or PSK
 * suites, every TLS server presents a certificate: a connect without Trusted_Cert therefore never
 * returns 0 (it returns QLC_UNTRUSTED, or 75/105 when the handshake does not get that far).
 * TLS 1.2 and 1.3 are offered; the TLS 1.2 list includes the CBC-SHA256/SHA384 RSA suites.
 *
 * Commands for qlc_perform (printf-like: every %s is filled from the arguments in order):
 *   "Get, Object, Id=%s"                      KMIP Get; path "Symmetric_Key/Key" (bytes)
 *   "Get, Attributes, Id=%s, Names=State"     KMIP Get Attributes; path "Attributes/State" (int)
 *   "Query, Versions"                         KMIP Discover Versions; node "Versions" with one
 *                                             child per version, read with "%s" as "major.minor"
 * Any command may end in ", Options={Authentication={User=%s, Password=%s}}", which adds a
 * username-and-password Credential to the request header.
 *
 * A Get is sent in one message together with a Get Attributes "State" of the same object
 * (two batch items, matched by their Unique Batch Item IDs). The Get's result is returned as
 * usual; the State answer is kept by the session for the next command only: when that command
 * is "Get, Attributes, Id=<same id>, Names=State" with the same Options it returns the kept
 * answer (success with or without a State, or the failure) without contacting the server; any
 * other command drops it and goes to the server.
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
  /* Name resolution, connect (refused, unreachable), reset or close by the peer (also in the
   * middle of a response), proxy refusal (non-2xx) or unreadable proxy reply, a TLS failure other
   * than an untrusted server (no common suite or version, the server rejects the client
   * certificate; under TLS 1.3 that refusal only shows on the first request), or a request on a
   * session whose earlier exchange failed. */
  QLC_COMMUNICATION = 75,
  /* Opening the session (connect, proxy exchange and handshake together) or one
   * request/response did not finish within the time-out. The session is unusable afterwards. */
  QLC_TIMEOUT = 105,
  /* The server's certificate is not trusted (see Trust above); the handshake reached the server
   * and its certificate is kept for qlc_fetch_server_credentials. */
  QLC_UNTRUSTED = 110,
  /* The server answered with a failure result; qlc_explain gives the operation, Result Status,
   * Result Reason (number and name) and Result Message. The session stays usable. */
  QLC_KMIP_FAILURE = 200,
  /* The response is not a KMIP response message, announces more than 1 MiB, does not decode as
   * TTLV (lengths, padding, depth, types), has not the batch items asked for (one; for a Get
   * one or two whose Unique Batch Item IDs match the request's, each at most once, and a Batch
   * Count equal to their number), answers another operation, or lacks what the command needs (a Raw
   * symmetric key whose Cryptographic Length matches its key material, a State that is an
   * enumeration, complete protocol versions). The session is unusable afterwards. */
  QLC_BAD_RESPONSE = 201,
  /* qlc_value_of: the path names no node, or the node holds another type than the format. */
  QLC_NOT_FOUND = 202,
  /* The specification does not parse, or its client certificate, private key (or their match)
   * or a Trusted_Cert is not usable PEM. */
  QLC_BAD_SPEC = 203,
  /* qlc_perform: unknown command text, null argument or value over 4096 bytes. */
  QLC_BAD_COMMAND = 204,
  /* A null or invalid argument, or an unknown value format. */
  QLC_BAD_ARGUMENT = 205,
  /* qlc_fetch_server_credentials: the result holds no presented server certificate (its status
   * is not QLC_UNTRUSTED). */
  QLC_NO_CREDENTIALS = 206,
  /* An allocation failed (also what qlc_ok reports for a NULL result). */
  QLC_NO_MEMORY = 207
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
 * status 0 *session is set and must be closed with qlc_disconnect_key_manager, on any other
 * status *session is NULL. The client certificate, key and trusted certificates are checked
 * before any connection is made (QLC_BAD_SPEC). */
qlc_result* qlc_connect_key_manager(qlc_session** session, const char* spec);

/* Runs one command on an open session and waits for its answer; returns its result (see
 * qlc_ok). Calls on one session are serialised. Result tree of a successful command:
 *   Get             Symmetric_Key/Key (bytes), Symmetric_Key/Length (int, bits),
 *                   Symmetric_Key/Algorithm (int, when sent)
 *   Get Attributes  Attributes/State (int; absent when the server returned no State)
 *   Query Versions  Versions/Version... (text "major.minor"); no Versions node when the server
 *                   listed none */
qlc_result* qlc_perform(qlc_session* session, const char* command, ...);

/* 0 on success, else one of the status values above. A NULL result gives QLC_NO_MEMORY. */
int qlc_ok(const qlc_result* result);

/* The reason text of a failed result; on a successful result the reason of the last failed
 * qlc_value_of or qlc_fetch_server_credentials on it, else "". Owned by the result. */
const char* qlc_explain(const qlc_result* result);

/* Frees a result and everything it owns. NULL is allowed. */
void qlc_release(qlc_result* result);

/* First node at PATH in a result's tree (segments joined by '/'); a trailing '/' gives the
 * first child of that node. NULL when absent. */
const qlc_node* qlc_find(const char* path, const qlc_result* result);

/* Next sibling of a node, or NULL. */
const qlc_node* qlc_next(const qlc_node* node);

/* Reads the value at PATH under WHERE, which is a qlc_result* or a qlc_node* (PATH NULL or ""
 * means WHERE itself when it is a node). Formats:
 *   "d"  int*                       an Integer or Enumeration (enumerations above INT_MAX
 *                                   come out as their two's complement int)
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

/* Frees a record from qlc_fetch_server_credentials, wiping its data. NULL is allowed. */
void qlc_free_credentials(qlc_credentials* credentials);

/* Closes the TLS session and frees it. NULL is allowed. */
void qlc_disconnect_key_manager(qlc_session* session);

#ifdef __cplusplus
}
#endif

#endif /* QLKMIPSIMPLE_H */
