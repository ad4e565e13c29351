// results.h - the names of the library's result codes, for the tools' messages.
// The texts come from the library itself (KelResultText), so that a tool and
// a program built on the library explain a code in the same words.
#ifndef KEL_TOOLS_RESULTS_H
#define KEL_TOOLS_RESULTS_H

#include <string>

#include "kelapi.h"

namespace keltools {

// "KEL_ERR_HOST_106" for 106; "unknown result" for a code the library never returns.
inline const char *ResultName(int code) {
    static const struct {
        int code;
        const char *name;
    } kNames[] = {
        {KEL_OK, "KEL_OK"},
        {KEL_ERR_PARAM, "KEL_ERR_PARAM"},
        {KEL_ERR_SYSTEM, "KEL_ERR_SYSTEM"},
        {KEL_ERR_HANDLE, "KEL_ERR_HANDLE"},
        {KEL_ERR_CONNECTED, "KEL_ERR_CONNECTED"},
        {KEL_ERR_ALREADY_CONNECTED, "KEL_ERR_ALREADY_CONNECTED"},
        {KEL_ERR_NOT_CONNECTED, "KEL_ERR_NOT_CONNECTED"},
        {KEL_ERR_COMM, "KEL_ERR_COMM"},
        {KEL_ERR_HOST_104, "KEL_ERR_HOST_104"},
        {KEL_ERR_PROTOCOL, "KEL_ERR_PROTOCOL"},
        {KEL_ERR_HOST_106, "KEL_ERR_HOST_106"},
        {KEL_ERR_HOST_107, "KEL_ERR_HOST_107"},
        {KEL_ERR_HOST_108, "KEL_ERR_HOST_108"},
        {KEL_ERR_LOCKED, "KEL_ERR_LOCKED"},
        {KEL_ERR_HOST_200, "KEL_ERR_HOST_200"},
        {KEL_ERR_HOST_201, "KEL_ERR_HOST_201"},
        {KEL_ERR_HOST_202, "KEL_ERR_HOST_202"},
        {KEL_ERR_HOST_203, "KEL_ERR_HOST_203"},
        {KEL_ERR_HOST_204, "KEL_ERR_HOST_204"},
        {KEL_ERR_HOST_205, "KEL_ERR_HOST_205"},
    };
    for (const auto &entry : kNames)
        if (entry.code == code) return entry.name;
    return "unknown result";
}

// "result 106 (KEL_ERR_HOST_106): The host refused the request (...)."
inline std::string ResultLine(int code) {
    return "result " + std::to_string(code) + " (" + ResultName(code) + "): " + KelResultText(code);
}

// True for the codes that stand for a host's refusal rather than a local or
// connection failure.
inline bool IsHostCode(int code) {
    return code == KEL_ERR_HOST_104 || (code >= KEL_ERR_HOST_106 && code <= KEL_ERR_HOST_108) ||
           (code >= KEL_ERR_HOST_200 && code <= KEL_ERR_HOST_205);
}

}  // namespace keltools

#endif
