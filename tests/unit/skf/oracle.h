// Independent reference computations (OpenSSL) for the smart-key tests.
#pragma once

#include "tests/unit/skf/fake_port.h"

Bytes osslSha1(const Bytes& in);
Bytes osslSm4Ecb(const Bytes& key, const Bytes& in);
Bytes osslSm4Cbc(const Bytes& key, const Bytes& iv, const Bytes& in);
