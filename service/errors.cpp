// The service's result codes and their messages.
#include <cstdint>

#include "service/service.h"

namespace {
struct ErrRecord {
    int32_t code;
    char message[128];
};

const ErrRecord m_arrErr[] = {
    {110, "json is not mine"},
    {111, "json params is not mine"},
    {164, "not find this function"},
    {102, "can not open device"},
    {103, "operate Failed"},
    {104, "param is invalid"},
    {105, "invalid length"},
    {1, "user is existed"},
    {2, "user is NOT existed"},
    {3, "finger print is full"},
    {4, "only one finger"},
    {5, "user canceled"},
    {6, "this finger is exist"},
    {7, "Time Out"},
    {10, "Enter the same fingerprint"},
    {11, "No FingerPrint"},
    {12, "Cannot find this fingerprint"},
    {13, "Cannot del all"},
    {14, "Sm4 Encrypt Error"},
    {200, "just for test, not surport"},
    {106, "open APP failed"},
    {107, "Verify pin fail"},
    {108, "sm2 sign fail"},
    {109, "no certificate"},
    {121, "pkcs7 pack fail"},
    {122, "App user locked"},
    {130, "site not allowed"},
    {131, "too many wrong PINs from this site"},
    {132, "PIN tries left are kept for the key's owner"},
    {133, "the key is busy with another site"},
    {134, "not confirmed on the key"},
    {201, "this dev is not for you"},
    {0xE101, "Fingerprint failed..."},
    {0xE102, "No permission | Matching failed"},
    {0xE103, "No finger print"},
    {0xE104, "Image area is too small"},
    {0xE105, "Image blur"},
    {0xE106, "Too few effective features"},
    {0xE107, "Enter the same fingerprint"},
    {0xE108, "Enter the same area"},
    {0xE109, "Poor image quality"},
    {0xE10A, "Verify failed"},
    {0xE110, "Error parameters"},
    {0xE111, "Failed to create template"},
    {0xE112, "Too few effective feature points"},
    {0xE113, "Cut blank fail"},
    {0xE114, "Cut Ref Fail"},
    {0xE115, "Failed to obtain fingerprint"},
    {0xE116, "Insufficient save space"},
    {0xE117, "User Canceled"},
    {0xE118, "Wait timeout"},
    {0xE119, "Pls leave the fingerprint contact"},
    {0xE120, "Read flash error"},
    {0xE1CC, "This product does not support"},
    {0xE1DD, "This product is for PC"},
};

const char m_snotFind[128] = "not find this err";

// Local-language texts of the fingerprint module's failures (UTF-8).
struct FpErrRecord {
    int32_t code;
    char message[64];
};

const FpErrRecord arr_fperr[] = {
    {0xE101, "录入失败"},
    {0xE102, "没有权限"},
    {0xE103, "没有录入指纹"},
    {0xE104, "图像面积太小,可能手指按偏了"},
    {0xE105, "图像太湿,可能手指有汗或者有水"},
    {0xE106, "图像质量差,可能手指或者模组脏了"},
    {0xE107, "录入了相同的指纹"},
    {0xE108, "录入了相同的区域"},
    {0xE109, "图像质量太差,比对分数过低"},
    {0xE10A, "验证失败"},
    {0xE110, "错误的参数"},
    {0xE111, "创建模板失败"},
    {0xE112, "有效特征点太少"},
    {0xE113, "RET_FAIL_CUT_BLANK"},
    {0xE114, "RET_FAIL_CUT_REF"},
    {0xE115, "合并失败"},
    {0xE116, "保存空间不足"},
    {0xE117, "用户取消"},
    {0xE118, "等待时间超时"},
    {0xE119, "提示用户离开指纹接触"},
    {0xE120, "读取flash出错"},
    {0xE1CC, "不支持指纹命令"},
    {0xE1DD, "PC侧应用"},
};
}  // namespace

const char* nvGetErrMsg(uint32_t code) {
    for (const ErrRecord& r : m_arrErr)
        if (static_cast<uint32_t>(r.code) == code) return r.message;
    return m_snotFind;
}

const char* getfpErr(int32_t code) {
    int32_t low = code & 0xFFFF;
    for (const FpErrRecord& r : arr_fperr)
        if (r.code == low) return r.message;
    return arr_fperr[0].message;
}
