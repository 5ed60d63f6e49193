// The access key compiled into every notifier. The reception service expects
// it too unless it is started with a key of its own (--key).
#pragma once

constexpr char accessKey[] = "m9pqzRWkfhT7031";
