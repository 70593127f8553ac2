// Host, process and pattern utilities.
#ifndef ORNIX_LIB_H
#define ORNIX_LIB_H

struct mail_obj;

extern char MailHostName[256];

void chomp(char *s);
void chomp2(char *s);
int isDir(const char *path);
int copy(const char *src, const char *dst);
int get_ave_pid(const char *pidfile);
int build_check(const char *own_version, const char *given);
void set_hostname(void);
int match(const char *str, const char *pattern, int flags);
void get_fqdn(mail_obj *mail, int resolve);
int IsPrivIP(const char *ip);

#endif
