// Stand-in NDI runtime: library start-up and the look-up of the avahi-client functions.
#include <Processing.NDI.Lib.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// The avahi-client functions an mDNS announcement and browse would use. The program is
// expected to carry them (it links avahi-client and exports its symbols), so the runtime
// finds them in the running process instead of loading avahi itself.
const char* const kAvahiFunctions[] = {
	"avahi_client_new",
	"avahi_client_free",
	"avahi_entry_group_new",
	"avahi_entry_group_add_service",
	"avahi_entry_group_commit",
	"avahi_service_browser_new",
	"avahi_service_resolver_new",
	"avahi_string_list_new",
	"avahi_threaded_poll_new",
	"avahi_threaded_poll_start",
	"avahi_threaded_poll_stop",
	"avahi_threaded_poll_free",
};

void check_avahi()
{
	const int total = static_cast<int>(sizeof(kAvahiFunctions) / sizeof(kAvahiFunctions[0]));
	int found = 0;
	for (const char* name : kAvahiFunctions)
		if (dlsym(RTLD_DEFAULT, name) != nullptr)
			++found;
	// The stand-in does not announce over mDNS; the count only shows whether it could.
	if (getenv("NDI_STANDIN_REPORT_AVAHI") != nullptr)
		fprintf(stderr, "ndi-standin: avahi-client functions resolved: %d of %d\n", found, total);
}

}  // namespace

bool NDIlib_initialize(void)
{
	check_avahi();
	return true;
}

void NDIlib_destroy(void)
{
	// Senders own all resources and are released by NDIlib_send_destroy.
}

const char* NDIlib_version(void)
{
	return "NDI stand-in 4 (vexoenc)";
}
