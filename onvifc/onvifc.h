/* libonvifc: reads the stream addresses of an ONVIF device.
 *
 * Onvif_GetStreamUri asks the device service at `uri` (http or https) for its media profiles and the RTSP
 * address of each, and writes a NUL-terminated XML document into `buf`:
 *
 *   <Onvif_GetStreamUri><item><Name/><Token/><Uri/><UriPTZ/></item>...</Onvif_GetStreamUri>
 *
 * one item per media profile in the device's order. Returns the number of items (>= 0), or one of the
 * negative codes below; on failure `buf` is left untouched. When the whole document would not fit into
 * `size` bytes, it holds as many whole items as fit, from the first, and that number is returned;
 * ONVIF_ERR_RESULT_TOO_LARGE only when not even the first item fits.
 *
 * Every item's address was asked for and answered: a request lost to the network, the time limit or
 * the credentials fails the whole call with its code. The one exception is a profile the device itself
 * answers with a SOAP fault (for example an audio-only or metadata profile, which has no video stream):
 * that item's Uri is empty and the others are still given. When every profile answers a fault, the
 * call fails with ONVIF_ERR_DEVICE_FAULT.
 *
 * Credentials: a non-empty `user` is sent as a WS-UsernameToken digest and, when the device asks for it,
 * as HTTP Digest; never in clear, and only to the host named in `uri`. A service the device advertises
 * on another host is looked for on that host instead. A user part written into `uri` is never sent; it
 * stands in for `user` and `password` when both of those are empty.
 *
 * HTTPS: every request of a call to an https address goes over https; a media service the device
 * advertises at http:// is asked for at its path over the address's https host and port, and when it
 * does not answer there the call fails (ONVIF_ERR_SERVICE_WITHOUT_TLS) rather than go on in clear.
 * The device's certificate is accepted as it is (cameras make their own). When the environment
 * variable ONVIFC_CA_FILE names a PEM file of trusted certificates, the device must present a
 * certificate for its address signed by one of them.
 *
 * The call takes at most about 15 seconds, keeps nothing between calls and is safe from any thread.
 */
#ifndef ONVIFC_H
#define ONVIFC_H

#ifdef __cplusplus
extern "C" {
#endif

#define ONVIFC_API __attribute__((visibility("default")))

enum OnvifcResult {
    ONVIF_OK = 0,
    ONVIF_ERR_INVALID_ARGUMENT = -1,
    ONVIF_ERR_UNSUPPORTED_ADDRESS = -2,
    ONVIF_ERR_CANNOT_CONNECT = -3,
    ONVIF_ERR_TIMED_OUT = -4,
    ONVIF_ERR_NOT_AUTHORIZED = -5,
    ONVIF_ERR_UNEXPECTED_REPLY = -6,
    ONVIF_ERR_NO_PROFILES = -7,
    ONVIF_ERR_RESULT_TOO_LARGE = -8,
    ONVIF_ERR_CERTIFICATE_REFUSED = -9,
    ONVIF_ERR_DEVICE_FAULT = -10,
    ONVIF_ERR_REPLY_CUT_SHORT = -11,
    ONVIF_ERR_SERVICE_ELSEWHERE = -12,
    ONVIF_ERR_SERVICE_WITHOUT_TLS = -13
};

ONVIFC_API int Onvif_GetStreamUri(char* buf, int size, const char* uri, const char* user,
                                  const char* password);

/* One English line for a result code; never NULL. For the code that the last failed call on this
 * thread returned, the line names the cause in detail (what refused or cut the connection, the
 * device's own fault reason); it stays valid until the next call on this thread. */
ONVIFC_API const char* Onvif_ErrorText(int code);

#ifdef __cplusplus
}
#endif

#endif
