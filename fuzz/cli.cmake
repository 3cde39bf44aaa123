# The URL list reader of `twk get -i` (cli/url_list.h).
twk_fuzz(fuzz_url_list url_list_fuzz.cpp twk_cli)
