#pragma once

// What a web view is for: a workspace's preview, or the documentation
// embedded in the getting-started page.
enum class WebViewPurpose {
    workspace,
    gettingStarted,
};
