# The FTP client's reply reader (net/ftp_client.h).
twk_fuzz(fuzz_ftp_reply ftp_reply_fuzz.cpp twk_net)
