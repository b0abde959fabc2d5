#include "support/exact_pow.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <mutex>
#include <vector>

#include "support/cpu_features.h"
#include "support/splitmix64.h"

namespace tarnwick {

namespace exact_pow_detail {

// From ARM's optimized-routines pow (MIT / Apache-2.0), as shipped in glibc's
// libm (__pow_log_data): for the 128 subintervals of [0x1.69555p-1, 0x1.69555p0)
// that the top bits of x's mantissa select, {1/c, log c, its tail}.
const LogEntry kLogTable[128] = {
    {0x1.6ap0, -0x1.62c82f2b9c8p-2, 0x1.ab4242837568p-48},
    {0x1.68p0, -0x1.5d1bdbf5808p-2, -0x1.ca508d8e0f72p-46},
    {0x1.66p0, -0x1.57677174558p-2, -0x1.362a4d5b6506dp-45},
    {0x1.64p0, -0x1.51aad872df8p-2, -0x1.684e49eb067d5p-49},
    {0x1.62p0, -0x1.4be5f957778p-2, -0x1.41b6993293eep-47},
    {0x1.6p0, -0x1.4618bc21c6p-2, 0x1.3d82f484c84ccp-46},
    {0x1.5ep0, -0x1.404308686a8p-2, 0x1.c42f3ed820b3ap-50},
    {0x1.5cp0, -0x1.3a64c556948p-2, 0x1.0b1c68651946p-45},
    {0x1.5ap0, -0x1.347dd9a988p-2, 0x1.5594dd4c58092p-45},
    {0x1.58p0, -0x1.2e8e2bae12p-2, 0x1.67b1e99b72bd8p-45},
    {0x1.56p0, -0x1.2895a13de88p-2, 0x1.5ca14b6cfb03fp-46},
    {0x1.56p0, -0x1.2895a13de88p-2, 0x1.5ca14b6cfb03fp-46},
    {0x1.54p0, -0x1.22941fbcf78p-2, -0x1.65a242853da76p-46},
    {0x1.52p0, -0x1.1c898c16998p-2, -0x1.fafbc68e75404p-46},
    {0x1.5p0, -0x1.1675cababa8p-2, 0x1.f1fc63382a8fp-46},
    {0x1.4ep0, -0x1.1058bf9ae48p-2, -0x1.6a8c4fd055a66p-45},
    {0x1.4cp0, -0x1.0a324e2739p-2, -0x1.c6bee7ef4030ep-47},
    {0x1.4ap0, -0x1.0402594b4dp-2, -0x1.036b89ef42d7fp-48},
    {0x1.4ap0, -0x1.0402594b4dp-2, -0x1.036b89ef42d7fp-48},
    {0x1.48p0, -0x1.fb9186d5e4p-3, 0x1.d572aab993c87p-47},
    {0x1.46p0, -0x1.ef0adcbdc6p-3, 0x1.b26b79c86af24p-45},
    {0x1.44p0, -0x1.e27076e2afp-3, -0x1.72f4f543fff1p-46},
    {0x1.42p0, -0x1.d5c216b4fcp-3, 0x1.1ba91bbca681bp-45},
    {0x1.4p0, -0x1.c8ff7c79aap-3, 0x1.7794f689f8434p-45},
    {0x1.4p0, -0x1.c8ff7c79aap-3, 0x1.7794f689f8434p-45},
    {0x1.3ep0, -0x1.bc286742d9p-3, 0x1.94eb0318bb78fp-46},
    {0x1.3cp0, -0x1.af3c94e80cp-3, 0x1.a4e633fcd9066p-52},
    {0x1.3ap0, -0x1.a23bc1fe2bp-3, -0x1.58c64dc46c1eap-45},
    {0x1.3ap0, -0x1.a23bc1fe2bp-3, -0x1.58c64dc46c1eap-45},
    {0x1.38p0, -0x1.9525a9cf45p-3, -0x1.ad1d904c1d4e3p-45},
    {0x1.36p0, -0x1.87fa06520dp-3, 0x1.bbdbf7fdbfa09p-45},
    {0x1.34p0, -0x1.7ab890210ep-3, 0x1.bdb9072534a58p-45},
    {0x1.34p0, -0x1.7ab890210ep-3, 0x1.bdb9072534a58p-45},
    {0x1.32p0, -0x1.6d60fe719dp-3, -0x1.0e46aa3b2e266p-46},
    {0x1.3p0, -0x1.5ff3070a79p-3, -0x1.e9e439f105039p-46},
    {0x1.3p0, -0x1.5ff3070a79p-3, -0x1.e9e439f105039p-46},
    {0x1.2ep0, -0x1.526e5e3a1bp-3, -0x1.0de8b90075b8fp-45},
    {0x1.2cp0, -0x1.44d2b6ccb8p-3, 0x1.70cc16135783cp-46},
    {0x1.2cp0, -0x1.44d2b6ccb8p-3, 0x1.70cc16135783cp-46},
    {0x1.2ap0, -0x1.371fc201e9p-3, 0x1.178864d27543ap-48},
    {0x1.28p0, -0x1.29552f81ffp-3, -0x1.48d301771c408p-45},
    {0x1.26p0, -0x1.1b72ad52f6p-3, -0x1.e80a41811a396p-45},
    {0x1.26p0, -0x1.1b72ad52f6p-3, -0x1.e80a41811a396p-45},
    {0x1.24p0, -0x1.0d77e7cd09p-3, 0x1.a699688e85bf4p-47},
    {0x1.24p0, -0x1.0d77e7cd09p-3, 0x1.a699688e85bf4p-47},
    {0x1.22p0, -0x1.fec9131dbep-4, -0x1.575545ca333f2p-45},
    {0x1.2p0, -0x1.e27076e2bp-4, 0x1.a342c2af0003cp-45},
    {0x1.2p0, -0x1.e27076e2bp-4, 0x1.a342c2af0003cp-45},
    {0x1.1ep0, -0x1.c5e548f5bcp-4, -0x1.d0c57585fbe06p-46},
    {0x1.1cp0, -0x1.a926d3a4aep-4, 0x1.53935e85baac8p-45},
    {0x1.1cp0, -0x1.a926d3a4aep-4, 0x1.53935e85baac8p-45},
    {0x1.1ap0, -0x1.8c345d631ap-4, 0x1.37c294d2f5668p-46},
    {0x1.1ap0, -0x1.8c345d631ap-4, 0x1.37c294d2f5668p-46},
    {0x1.18p0, -0x1.6f0d28ae56p-4, -0x1.69737c93373dap-45},
    {0x1.16p0, -0x1.51b073f062p-4, 0x1.f025b61c65e57p-46},
    {0x1.16p0, -0x1.51b073f062p-4, 0x1.f025b61c65e57p-46},
    {0x1.14p0, -0x1.341d7961bep-4, 0x1.c5edaccf913dfp-45},
    {0x1.14p0, -0x1.341d7961bep-4, 0x1.c5edaccf913dfp-45},
    {0x1.12p0, -0x1.16536eea38p-4, 0x1.47c5e768fa309p-46},
    {0x1.1p0, -0x1.f0a30c0118p-5, 0x1.d599e83368e91p-45},
    {0x1.1p0, -0x1.f0a30c0118p-5, 0x1.d599e83368e91p-45},
    {0x1.0ep0, -0x1.b42dd71198p-5, 0x1.c827ae5d6704cp-46},
    {0x1.0ep0, -0x1.b42dd71198p-5, 0x1.c827ae5d6704cp-46},
    {0x1.0cp0, -0x1.77458f632cp-5, -0x1.cfc4634f2a1eep-45},
    {0x1.0cp0, -0x1.77458f632cp-5, -0x1.cfc4634f2a1eep-45},
    {0x1.0ap0, -0x1.39e87b9fecp-5, 0x1.502b7f526feaap-48},
    {0x1.0ap0, -0x1.39e87b9fecp-5, 0x1.502b7f526feaap-48},
    {0x1.08p0, -0x1.f829b0e78p-6, -0x1.980267c7e09e4p-45},
    {0x1.08p0, -0x1.f829b0e78p-6, -0x1.980267c7e09e4p-45},
    {0x1.06p0, -0x1.7b91b07d58p-6, -0x1.88d5493faa639p-45},
    {0x1.04p0, -0x1.fc0a8b0fcp-7, -0x1.f1e7cf6d3a69cp-50},
    {0x1.04p0, -0x1.fc0a8b0fcp-7, -0x1.f1e7cf6d3a69cp-50},
    {0x1.02p0, -0x1.fe02a6b1p-8, -0x1.9e23f0dda40e4p-46},
    {0x1.02p0, -0x1.fe02a6b1p-8, -0x1.9e23f0dda40e4p-46},
    {0x1p0, 0x0p+0, 0x0p+0},
    {0x1p0, 0x0p+0, 0x0p+0},
    {0x1.fcp-1, 0x1.010157589p-7, -0x1.0c76b999d2be8p-46},
    {0x1.f8p-1, 0x1.0205658938p-6, -0x1.3dc5b06e2f7d2p-45},
    {0x1.f4p-1, 0x1.8492528c9p-6, -0x1.aa0ba325a0c34p-45},
    {0x1.fp-1, 0x1.0415d89e74p-5, 0x1.111c05cf1d753p-47},
    {0x1.ecp-1, 0x1.466aed42ep-5, -0x1.c167375bdfd28p-45},
    {0x1.e8p-1, 0x1.894aa149fcp-5, -0x1.97995d05a267dp-46},
    {0x1.e4p-1, 0x1.ccb73cdddcp-5, -0x1.a68f247d82807p-46},
    {0x1.e2p-1, 0x1.eea31c006cp-5, -0x1.e113e4fc93b7bp-47},
    {0x1.dep-1, 0x1.1973bd1466p-4, -0x1.5325d560d9e9bp-45},
    {0x1.dap-1, 0x1.3bdf5a7d1ep-4, 0x1.cc85ea5db4ed7p-45},
    {0x1.d6p-1, 0x1.5e95a4d97ap-4, -0x1.c69063c5d1d1ep-45},
    {0x1.d4p-1, 0x1.700d30aeacp-4, 0x1.c1e8da99ded32p-49},
    {0x1.dp-1, 0x1.9335e5d594p-4, 0x1.3115c3abd47dap-45},
    {0x1.ccp-1, 0x1.b6ac88dad6p-4, -0x1.390802bf768e5p-46},
    {0x1.cap-1, 0x1.c885801bc4p-4, 0x1.646d1c65aacd3p-45},
    {0x1.c6p-1, 0x1.ec739830a2p-4, -0x1.dc068afe645ep-45},
    {0x1.c4p-1, 0x1.fe89139dbep-4, -0x1.534d64fa10afdp-45},
    {0x1.cp-1, 0x1.1178e8227ep-3, 0x1.1ef78ce2d07f2p-45},
    {0x1.bep-1, 0x1.1aa2b7e23fp-3, 0x1.ca78e44389934p-45},
    {0x1.bap-1, 0x1.2d1610c868p-3, 0x1.39d6ccb81b4a1p-47},
    {0x1.b8p-1, 0x1.365fcb0159p-3, 0x1.62fa8234b7289p-51},
    {0x1.b4p-1, 0x1.4913d8333bp-3, 0x1.5837954fdb678p-45},
    {0x1.b2p-1, 0x1.527e5e4a1bp-3, 0x1.633e8e5697dc7p-45},
    {0x1.aep-1, 0x1.6574ebe8c1p-3, 0x1.9cf8b2c3c2e78p-46},
    {0x1.acp-1, 0x1.6f0128b757p-3, -0x1.5118de59c21e1p-45},
    {0x1.aap-1, 0x1.7898d85445p-3, -0x1.c661070914305p-46},
    {0x1.a6p-1, 0x1.8beafeb39p-3, -0x1.73d54aae92cd1p-47},
    {0x1.a4p-1, 0x1.95a5adcf7p-3, 0x1.7f22858a0ff6fp-47},
    {0x1.ap-1, 0x1.a93ed3c8aep-3, -0x1.8724350562169p-45},
    {0x1.9ep-1, 0x1.b31d8575bdp-3, -0x1.c358d4eace1aap-47},
    {0x1.9cp-1, 0x1.bd087383bep-3, -0x1.d4bc4595412b6p-45},
    {0x1.9ap-1, 0x1.c6ffbc6f01p-3, -0x1.1ec72c5962bd2p-48},
    {0x1.96p-1, 0x1.db13db0d49p-3, -0x1.aff2af715b035p-45},
    {0x1.94p-1, 0x1.e530effe71p-3, 0x1.212276041f43p-51},
    {0x1.92p-1, 0x1.ef5ade4ddp-3, -0x1.a211565bb8e11p-51},
    {0x1.9p-1, 0x1.f991c6cb3bp-3, 0x1.bcbecca0cdf3p-46},
    {0x1.8cp-1, 0x1.07138604d58p-2, 0x1.89cdb16ed4e91p-48},
    {0x1.8ap-1, 0x1.0c42d67616p-2, 0x1.7188b163ceae9p-45},
    {0x1.88p-1, 0x1.1178e8227e8p-2, -0x1.c210e63a5f01cp-45},
    {0x1.86p-1, 0x1.16b5ccbacf8p-2, 0x1.b9acdf7a51681p-45},
    {0x1.84p-1, 0x1.1bf99635a68p-2, 0x1.ca6ed5147bdb7p-45},
    {0x1.82p-1, 0x1.214456d0eb8p-2, 0x1.a87deba46baeap-47},
    {0x1.7ep-1, 0x1.2bef07cdc9p-2, 0x1.a9cfa4a5004f4p-45},
    {0x1.7cp-1, 0x1.314f1e1d36p-2, -0x1.8e27ad3213cb8p-45},
    {0x1.7ap-1, 0x1.36b6776be1p-2, 0x1.16ecdb0f177c8p-46},
    {0x1.78p-1, 0x1.3c25277333p-2, 0x1.83b54b606bd5cp-46},
    {0x1.76p-1, 0x1.419b423d5e8p-2, 0x1.8e436ec90e09dp-47},
    {0x1.74p-1, 0x1.4718dc271c8p-2, -0x1.f27ce0967d675p-45},
    {0x1.72p-1, 0x1.4c9e09e173p-2, -0x1.e20891b0ad8a4p-45},
    {0x1.7p-1, 0x1.522ae0738ap-2, 0x1.ebe708164c759p-45},
    {0x1.6ep-1, 0x1.57bf753c8dp-2, 0x1.fadedee5d40efp-46},
    {0x1.6cp-1, 0x1.5d5bddf596p-2, -0x1.a0b2a08a465dcp-47},
};

// From the same source (__exp_data): {tail, scale bits} of 2^(j/128), j = 0..127.
const ExpEntry kExpTable[128] = {
    {0x0000000000000000, 0x3ff0000000000000}, {0x3c9b3b4f1a88bf6e, 0x3feff63da9fb3335},
    {0xbc7160139cd8dc5d, 0x3fefec9a3e778061}, {0xbc905e7a108766d1, 0x3fefe315e86e7f85},
    {0x3c8cd2523567f613, 0x3fefd9b0d3158574}, {0xbc8bce8023f98efa, 0x3fefd06b29ddf6de},
    {0x3c60f74e61e6c861, 0x3fefc74518759bc8}, {0x3c90a3e45b33d399, 0x3fefbe3ecac6f383},
    {0x3c979aa65d837b6d, 0x3fefb5586cf9890f}, {0x3c8eb51a92fdeffc, 0x3fefac922b7247f7},
    {0x3c3ebe3d702f9cd1, 0x3fefa3ec32d3d1a2}, {0xbc6a033489906e0b, 0x3fef9b66affed31b},
    {0xbc9556522a2fbd0e, 0x3fef9301d0125b51}, {0xbc5080ef8c4eea55, 0x3fef8abdc06c31cc},
    {0xbc91c923b9d5f416, 0x3fef829aaea92de0}, {0x3c80d3e3e95c55af, 0x3fef7a98c8a58e51},
    {0xbc801b15eaa59348, 0x3fef72b83c7d517b}, {0xbc8f1ff055de323d, 0x3fef6af9388c8dea},
    {0x3c8b898c3f1353bf, 0x3fef635beb6fcb75}, {0xbc96d99c7611eb26, 0x3fef5be084045cd4},
    {0x3c9aecf73e3a2f60, 0x3fef54873168b9aa}, {0xbc8fe782cb86389d, 0x3fef4d5022fcd91d},
    {0x3c8a6f4144a6c38d, 0x3fef463b88628cd6}, {0x3c807a05b0e4047d, 0x3fef3f49917ddc96},
    {0x3c968efde3a8a894, 0x3fef387a6e756238}, {0x3c875e18f274487d, 0x3fef31ce4fb2a63f},
    {0x3c80472b981fe7f2, 0x3fef2b4565e27cdd}, {0xbc96b87b3f71085e, 0x3fef24dfe1f56381},
    {0x3c82f7e16d09ab31, 0x3fef1e9df51fdee1}, {0xbc3d219b1a6fbffa, 0x3fef187fd0dad990},
    {0x3c8b3782720c0ab4, 0x3fef1285a6e4030b}, {0x3c6e149289cecb8f, 0x3fef0cafa93e2f56},
    {0x3c834d754db0abb6, 0x3fef06fe0a31b715}, {0x3c864201e2ac744c, 0x3fef0170fc4cd831},
    {0x3c8fdd395dd3f84a, 0x3feefc08b26416ff}, {0xbc86a3803b8e5b04, 0x3feef6c55f929ff1},
    {0xbc924aedcc4b5068, 0x3feef1a7373aa9cb}, {0xbc9907f81b512d8e, 0x3feeecae6d05d866},
    {0xbc71d1e83e9436d2, 0x3feee7db34e59ff7}, {0xbc991919b3ce1b15, 0x3feee32dc313a8e5},
    {0x3c859f48a72a4c6d, 0x3feedea64c123422}, {0xbc9312607a28698a, 0x3feeda4504ac801c},
    {0xbc58a78f4817895b, 0x3feed60a21f72e2a}, {0xbc7c2c9b67499a1b, 0x3feed1f5d950a897},
    {0x3c4363ed60c2ac11, 0x3feece086061892d}, {0x3c9666093b0664ef, 0x3feeca41ed1d0057},
    {0x3c6ecce1daa10379, 0x3feec6a2b5c13cd0}, {0x3c93ff8e3f0f1230, 0x3feec32af0d7d3de},
    {0x3c7690cebb7aafb0, 0x3feebfdad5362a27}, {0x3c931dbdeb54e077, 0x3feebcb299fddd0d},
    {0xbc8f94340071a38e, 0x3feeb9b2769d2ca7}, {0xbc87deccdc93a349, 0x3feeb6daa2cf6642},
    {0xbc78dec6bd0f385f, 0x3feeb42b569d4f82}, {0xbc861246ec7b5cf6, 0x3feeb1a4ca5d920f},
    {0x3c93350518fdd78e, 0x3feeaf4736b527da}, {0x3c7b98b72f8a9b05, 0x3feead12d497c7fd},
    {0x3c9063e1e21c5409, 0x3feeab07dd485429}, {0x3c34c7855019c6ea, 0x3feea9268a5946b7},
    {0x3c9432e62b64c035, 0x3feea76f15ad2148}, {0xbc8ce44a6199769f, 0x3feea5e1b976dc09},
    {0xbc8c33c53bef4da8, 0x3feea47eb03a5585}, {0xbc845378892be9ae, 0x3feea34634ccc320},
    {0xbc93cedd78565858, 0x3feea23882552225}, {0x3c5710aa807e1964, 0x3feea155d44ca973},
    {0xbc93b3efbf5e2228, 0x3feea09e667f3bcd}, {0xbc6a12ad8734b982, 0x3feea012750bdabf},
    {0xbc6367efb86da9ee, 0x3fee9fb23c651a2f}, {0xbc80dc3d54e08851, 0x3fee9f7df9519484},
    {0xbc781f647e5a3ecf, 0x3fee9f75e8ec5f74}, {0xbc86ee4ac08b7db0, 0x3fee9f9a48a58174},
    {0xbc8619321e55e68a, 0x3fee9feb564267c9}, {0x3c909ccb5e09d4d3, 0x3feea0694fde5d3f},
    {0xbc7b32dcb94da51d, 0x3feea11473eb0187}, {0x3c94ecfd5467c06b, 0x3feea1ed0130c132},
    {0x3c65ebe1abd66c55, 0x3feea2f336cf4e62}, {0xbc88a1c52fb3cf42, 0x3feea427543e1a12},
    {0xbc9369b6f13b3734, 0x3feea589994cce13}, {0xbc805e843a19ff1e, 0x3feea71a4623c7ad},
    {0xbc94d450d872576e, 0x3feea8d99b4492ed}, {0x3c90ad675b0e8a00, 0x3feeaac7d98a6699},
    {0x3c8db72fc1f0eab4, 0x3feeace5422aa0db}, {0xbc65b6609cc5e7ff, 0x3feeaf3216b5448c},
    {0x3c7bf68359f35f44, 0x3feeb1ae99157736}, {0xbc93091fa71e3d83, 0x3feeb45b0b91ffc6},
    {0xbc5da9b88b6c1e29, 0x3feeb737b0cdc5e5}, {0xbc6c23f97c90b959, 0x3feeba44cbc8520f},
    {0xbc92434322f4f9aa, 0x3feebd829fde4e50}, {0xbc85ca6cd7668e4b, 0x3feec0f170ca07ba},
    {0x3c71affc2b91ce27, 0x3feec49182a3f090}, {0x3c6dd235e10a73bb, 0x3feec86319e32323},
    {0xbc87c50422622263, 0x3feecc667b5de565}, {0x3c8b1c86e3e231d5, 0x3feed09bec4a2d33},
    {0xbc91bbd1d3bcbb15, 0x3feed503b23e255d}, {0x3c90cc319cee31d2, 0x3feed99e1330b358},
    {0x3c8469846e735ab3, 0x3feede6b5579fdbf}, {0xbc82dfcd978e9db4, 0x3feee36bbfd3f37a},
    {0x3c8c1a7792cb3387, 0x3feee89f995ad3ad}, {0xbc907b8f4ad1d9fa, 0x3feeee07298db666},
    {0xbc55c3d956dcaeba, 0x3feef3a2b84f15fb}, {0xbc90a40e3da6f640, 0x3feef9728de5593a},
    {0xbc68d6f438ad9334, 0x3feeff76f2fb5e47}, {0xbc91eee26b588a35, 0x3fef05b030a1064a},
    {0x3c74ffd70a5fddcd, 0x3fef0c1e904bc1d2}, {0xbc91bdfbfa9298ac, 0x3fef12c25bd71e09},
    {0x3c736eae30af0cb3, 0x3fef199bdd85529c}, {0x3c8ee3325c9ffd94, 0x3fef20ab5fffd07a},
    {0x3c84e08fd10959ac, 0x3fef27f12e57d14b}, {0x3c63cdaf384e1a67, 0x3fef2f6d9406e7b5},
    {0x3c676b2c6c921968, 0x3fef3720dcef9069}, {0xbc808a1883ccb5d2, 0x3fef3f0b555dc3fa},
    {0xbc8fad5d3ffffa6f, 0x3fef472d4a07897c}, {0xbc900dae3875a949, 0x3fef4f87080d89f2},
    {0x3c74a385a63d07a7, 0x3fef5818dcfba487}, {0xbc82919e2040220f, 0x3fef60e316c98398},
    {0x3c8e5a50d5c192ac, 0x3fef69e603db3285}, {0x3c843a59ac016b4b, 0x3fef7321f301b460},
    {0xbc82d52107b43e1f, 0x3fef7c97337b9b5f}, {0xbc892ab93b470dc9, 0x3fef864614f5a129},
    {0x3c74b604603a88d3, 0x3fef902ee78b3ff6}, {0x3c83c5ec519d7271, 0x3fef9a51fbc74c83},
    {0xbc8ff7128fd391f0, 0x3fefa4afa2a490da}, {0xbc8dae98e223747d, 0x3fefaf482d8e67f1},
    {0x3c8ec3bc41aa2008, 0x3fefba1bee615a27}, {0x3c842b94c3a9eb32, 0x3fefc52b376bba97},
    {0x3c8a64a931d185ee, 0x3fefd0765b6e4540}, {0xbc8e37bae43be3ed, 0x3fefdbfdad9cbe14},
    {0x3c77893b4d91cd9d, 0x3fefe7c1819e90d8}, {0x3c5305c14160cc89, 0x3feff3c22b8f71f1},
};

void library_lanes(const double* x, const double* y, double* r, unsigned fast) {
  for (unsigned lane = 0; lane < 4; ++lane) {
    if (((fast >> lane) & 1u) == 0) r[lane] = std::pow(x[lane], y[lane]);
  }
}

}  // namespace exact_pow_detail

namespace {

// {x, b}, checked as pow(x, b) and pow(x, b - 1): inputs on which the
// library's unfused build (and a build fusing only the three multiply-adds
// its source writes out) rounds differently from the fused one. Found by
// running both against the fused build on random inputs of the range below.
struct CheckInput {
  double x;
  double b;
};
constexpr CheckInput kSeparatingInputs[] = {
    {0x1.cd55325a5a0cfp18, 0x1p1}, {0x1.420de3c9e1008p-17, 0x1.947ae147ae148p-1},
    {0x1.c09827d543a42p-22, 0x1.8p0}, {0x1.e2e7b78748db2p12, 0x1.ca3d70a3d70a4p-1},
    {0x1.fdbe18fdb4745p-7, 0x1p1}, {0x1.fa69d81106fbbp-12, 0x1.947ae147ae148p-1},
    {0x1.ea8d1e36bf8dcp-26, 0x1.ca3d70a3d70a4p-1}, {0x1.4d2fa1ba8ede9p-18, 0x1p1},
    {0x1.b73c1b505dfccp-20, 0x1.2c5195129f32cp0}, {0x1.e1c500b7abbb8p3, 0x1.2f3e938deaefp0},
    {0x1.4795794a65b63p-8, 0x1.108f7bb55ab28p-1}, {0x1.f347ccebf45eap-26, 0x1.3130cf1461814p-1},
    {0x1.ca74bc919381fp8, 0x1.a751868b96c47p-1}, {0x1.ff072d88c8269p9, 0x1.4b32d1dd69af4p-1},
    {0x1.c4e58f40fe5acp-11, 0x1.9feff3008655p-1}, {0x1.6376cb80cd639p2, 0x1.4e4acf75ee733p0},
    {0x1.ad08d6fe42aadp-1, 0x1.26a004a12e85ep0}, {0x1.9dc9273edc499p-20, 0x1.280b014c5bc32p0},
    {0x1.c697787769e9cp-7, 0x1.13a3e88d0d958p0}, {0x1.c53ebbbc86643p-4, 0x1.e5835b5481565p-1},
    {0x1.d1197853e5b7cp393, 0x1.0581a061357a9p-1}, {0x1.be97d9b682755p-25, 0x1.68bc87d10f7e8p0},
    {0x1.f0516ab230506p-8, 0x1.bd2c4f2293bfep-1}, {0x1.658ebdc822d65p19, 0x1.1482c5f603d2p0},
    {0x1.b8a63d17b0694p-24, 0x1.e42c724401cf6p-1}, {0x1.fa7f842fca505p821, 0x1.d9166dfe7ffd1p-1},
    {0x1.1117a74d0aecfp19, 0x1.76b4c878937d2p-1}, {0x1.6f1433ae5a74dp8, 0x1.169f0d6f053acp-1},
    {0x1.ad2dc207972a4p2, 0x1.2dcb5948cd8cap0}, {0x1.8c3ad75f5b8efp-27, 0x1.1a491001da327p-1},
    {0x1.fffcfcfb274a9p334, 0x1.6b664aaef2f16p0}, {0x1.5eaae614bbe4ap-603, 0x1.e29f58fe5bd3bp-1},
    {0x1.bd60d64dcda1bp14, 0x1.0d4eb8da0882cp0}, {0x1.6b95864a67571p6, 0x1.2d98443c47e14p0},
    {0x1.35aea5bbf9a4p417, 0x1.aecc2318cf4e6p-1}, {0x1.003e139a094a5p-15, 0x1.51ecee7057012p-1},
    {0x1.17fcdfe2e5b43p-15, 0x1.9ad782217fcedp-1}, {0x1.afd60c6fe39aap-718, 0x1.813d627527b2ep-1},
    {0x1.6e29a7802a183p6, 0x1.08111b32d3c3p0}, {0x1.ec0dd6d57bc5ep14, 0x1.6a0674a24bdaap-1},
    {0x1.8df24113b4d49p-11, 0x1.8a5eaa70c8a6fp-1}, {0x1.d43e024f1e0f6p10, 0x1.e06a76d3d282ep-1},
    {0x1.bf141995ec10bp-5, 0x1.3cbb9b4027372p0}, {0x1.50a360ee64e42p-518, 0x1.8da03dfcafe1bp-1},
    {0x1.a37459fca7513p-13, 0x1.4d8cf7d029c7cp0}, {0x1.f472e7267f15bp-9, 0x1.2c9a81c084f23p0},
    {0x1.bdaf3091cb285p-20, 0x1.1e770df2e13b7p-1}, {0x1.a988c2a93117ap83, 0x1.f6cd42139a6bp-1},
    {0x1.21096fa5d8383p-185, 0x1.7bbc8bb8f5cbdp-1}, {0x1.5ef15656f5885p-26, 0x1.263f79cf4ed7ep0},
    {0x1.e7f8cbfa342bap-21, 0x1.474efac481516p0}, {0x1.dfeb1d5fc1ba4p18, 0x1.10ac6f3dad15ep0},
    {0x1.2db11f465cf78p214, 0x1.5b917fb688136p0}, {0x1.a885c45079157p7, 0x1.32ba1c0b26ca7p0},
    {0x1.bb20eee2999cfp913, 0x1.01347d78eedbep-1}, {0x1.81a7157d7361ap15, 0x1.6f2d199af7593p-1},
    {0x1.38cab1d231b4ap5, 0x1.947ae147ae148p-1}, {0x1.eb1546ddd459bp0, 0x1.2d3461896b574p0},
    {0x1.dc43daaa7aa14p13, 0x1.6c4f5d86ead5ep0}, {0x1.03863378c4ce2p-4, 0x1.033bb68e05091p-1},
    {0x1.c795784edea1dp-3, 0x1.9db67a2bcaaa5p-1}, {0x1.85d7e64bdb70ap-25, 0x1.cfd12228b32f1p-1},
    {0x1.7db629e42e90dp-34, 0x1.cc1be4b9ec0e4p-1}, {0x1.1c9c1c38e2a7dp-775, 0x1.5506550d30c99p-1},
};

// x with a uniformly drawn exponent in [lo, hi] and mantissa.
double draw_x(SplitMix64& rng, int lo, int hi) {
  const std::uint64_t bits = rng.next_u64();
  const auto e = static_cast<std::uint64_t>(lo + static_cast<int>((bits >> 52) % (hi - lo + 1)));
  return std::bit_cast<double>(((e + 1023) << 52) | (bits & 0x000fffffffffffff));
}

bool same_result(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

#if defined(__x86_64__)

// The check's view of the vector path: pairs and single calls alternate, so
// both forms are compared.
[[gnu::target("avx2,fma")]] void vector_pairs(const double* x, const double* y0,
                                              const double* y1, double* r0, double* r1,
                                              std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d xv = _mm256_loadu_pd(x + i);
    const __m256d a = _mm256_loadu_pd(y0 + i), b = _mm256_loadu_pd(y1 + i);
    __m256d p, q;
    if ((i / 4) % 2 == 0) {
      pow_pair4(xv, a, b, p, q);
    } else {
      p = pow4(xv, a);
      q = pow4(xv, b);
    }
    _mm256_storeu_pd(r0 + i, p);
    _mm256_storeu_pd(r1 + i, q);
  }
  if (i < n) {
    alignas(32) double xs[4] = {2, 2, 2, 2}, a[4] = {1, 1, 1, 1}, b[4] = {1, 1, 1, 1}, p[4], q[4];
    std::copy(x + i, x + n, xs);
    std::copy(y0 + i, y0 + n, a);
    std::copy(y1 + i, y1 + n, b);
    __m256d pv, qv;
    pow_pair4(_mm256_load_pd(xs), _mm256_load_pd(a), _mm256_load_pd(b), pv, qv);
    _mm256_store_pd(p, pv);
    _mm256_store_pd(q, qv);
    std::copy(p, p + (n - i), r0 + i);
    std::copy(q, q + (n - i), r1 + i);
  }
}

[[gnu::target("avx2,fma")]] void pow_batch_vector(const double* x, double y, double* out,
                                                  std::size_t n) {
  const __m256d yv = _mm256_set1_pd(y);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, pow4(_mm256_loadu_pd(x + i), yv));
  if (i < n) {
    // Padding with 2 keeps the unused lanes on the vector path.
    alignas(32) double xs[4] = {2, 2, 2, 2}, rs[4];
    std::copy(x + i, x + n, xs);
    _mm256_store_pd(rs, pow4(_mm256_load_pd(xs), yv));
    std::copy(rs, rs + (n - i), out + i);
  }
}

#endif  // __x86_64__

enum Decision : int { kUndecided, kLibraryPow, kVectorPow };

std::mutex g_decision_mutex;
std::atomic<int> g_decision{kUndecided};
ExactPowMode g_mode = ExactPowMode::kAuto;  // guarded by g_decision_mutex
PowPairBatchFn g_checked = nullptr;         // guarded by g_decision_mutex

}  // namespace

bool exact_pow_matches_library(PowPairBatchFn candidate, std::size_t random_inputs) {
  constexpr std::size_t kFixed = std::size(kSeparatingInputs);
  const std::size_t n = kFixed + random_inputs;
  std::vector<double> buffer(5 * n);
  double* x = buffer.data();
  double* y0 = x + n;
  double* y1 = y0 + n;
  double* r0 = y1 + n;
  double* r1 = r0 + n;
  for (std::size_t i = 0; i < kFixed; ++i) {
    x[i] = kSeparatingInputs[i].x;
    y0[i] = kSeparatingInputs[i].b;
  }
  // A quarter over (nearly) all normal x, the rest over squared distances
  // from about 1e-8 to 1e6; b over [0.5, 1.5].
  SplitMix64 rng(0x5eed'0f'e1ac'70b1ULL);
  for (std::size_t i = kFixed; i < n; ++i) {
    x[i] = (i % 4 == 0) ? draw_x(rng, -1020, 1020) : draw_x(rng, -27, 19);
    y0[i] = 0.5 + rng.next_unit_f64();
  }
  for (std::size_t i = 0; i < n; ++i) y1[i] = y0[i] - 1.0;

  candidate(x, y0, y1, r0, r1, n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!same_result(r0[i], std::pow(x[i], y0[i])) || !same_result(r1[i], std::pow(x[i], y1[i]))) {
      return false;
    }
  }
  return true;
}

bool exact_pow_self_check() {
#if defined(__x86_64__)
  return has_avx2_fma() && exact_pow_matches_library(&vector_pairs);
#else
  return false;
#endif
}

bool exact_pow_vector_enabled() {
  const int known = g_decision.load(std::memory_order_acquire);
  if (known != kUndecided) [[likely]] return known == kVectorPow;
  std::lock_guard<std::mutex> lock(g_decision_mutex);
  int decision = g_decision.load(std::memory_order_relaxed);
  if (decision == kUndecided) {
    bool vector = false;
#if defined(__x86_64__)
    if (has_avx2_fma()) {
      switch (g_mode) {
        case ExactPowMode::kLibrary: vector = false; break;
        case ExactPowMode::kVector: vector = true; break;
        case ExactPowMode::kAuto:
          vector = exact_pow_matches_library(g_checked != nullptr ? g_checked : &vector_pairs);
          break;
      }
    }
#endif
    decision = vector ? kVectorPow : kLibraryPow;
    g_decision.store(decision, std::memory_order_release);
  }
  return decision == kVectorPow;
}

void set_exact_pow_mode_for_testing(ExactPowMode mode, PowPairBatchFn checked) {
  std::lock_guard<std::mutex> lock(g_decision_mutex);
  g_mode = mode;
  g_checked = checked;
  g_decision.store(kUndecided, std::memory_order_release);
}

void pow_batch(const double* x, double y, double* out, std::size_t n) {
#if defined(__x86_64__)
  if (exact_pow_vector_enabled()) {
    pow_batch_vector(x, y, out, n);
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y);
}

}  // namespace tarnwick
