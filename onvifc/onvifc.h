/* libonvifc: reads the stream addresses of an ONVIF device.
 *
 * Onvif_GetStreamUri asks the device service at `uri` (http or https) for its media profiles and the RTSP
 * address of each, and writes a NUL-terminated XML document into `buf`:
 *
 *   <Onvif_GetStreamUri><item><Name/><Token/><Uri/><UriPTZ/></item>...</Onvif_GetStreamUri>
 *
 * one item per media profile in the device's order. Returns the number of items (>= 0), or one of the
 * negative codes below; on failure `buf` is left untouched. A non-empty `user` is sent as a
 * WS-UsernameToken digest and, when the device asks for it, as HTTP Digest; never in clear.
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
    ONVIF_ERR_RESULT_TOO_LARGE = -8
};

ONVIFC_API int Onvif_GetStreamUri(char* buf, int size, const char* uri, const char* user, const char* password);

/* One English line for a result code; never NULL. */
ONVIFC_API const char* Onvif_ErrorText(int code);

#ifdef __cplusplus
}
#endif

#endif
