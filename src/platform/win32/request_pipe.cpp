// The request pipe's name comes from the folder's job name, so that every
// spelling of the folder (a short name, a link, another case) leads to the
// same pipe and no other folder does. Its security descriptor is built in
// fixed buffers, once: the access-allowed entries of the user MOLV runs as
// and of the Administrators, and nothing for anyone else.
#include "platform/win32/request_pipe.h"

#include "platform/win32/job_name.h"
#include "platform/win32/reason.h"

namespace {

// The user's SID as the token gives it, the Administrators' SID, the list
// of the two entries, and the descriptor that holds it.
alignas(8) unsigned char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
alignas(8) unsigned char administrators[SECURITY_MAX_SID_SIZE];
alignas(8) unsigned char acl_buffer[512];
SECURITY_DESCRIPTOR descriptor;

// What a client needs to send its request and read the answer.
constexpr DWORD client_access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;

bool fail(char* reason, std::size_t reason_capacity)
{
    system_reason(GetLastError(), reason, reason_capacity);
    return false;
}

} // namespace

bool request_pipe_name(const wchar_t* folder, wchar_t* name, std::size_t capacity)
{
    wchar_t job[job_name_capacity];
    if (capacity < request_pipe_name_capacity || !job_name_of(folder, job, job_name_capacity)) {
        return false;
    }
    // The job's name without its namespace: "molv-" and the hash.
    const wchar_t* hash_part = job;
    for (const wchar_t* at = job; *at != L'\0'; ++at) {
        if (*at == L'\\') {
            hash_part = at + 1;
        }
    }
    const wchar_t prefix[] = L"\\\\.\\pipe\\";
    std::size_t at = 0;
    for (const wchar_t* from = prefix; *from != L'\0'; ++from) {
        name[at++] = *from;
    }
    for (const wchar_t* from = hash_part; *from != L'\0' && at + 1 < capacity; ++from) {
        name[at++] = *from;
    }
    name[at] = L'\0';
    return true;
}

bool request_pipe_security(SECURITY_ATTRIBUTES& attributes, char* reason,
                           std::size_t reason_capacity)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return fail(reason, reason_capacity);
    }
    DWORD size = 0;
    const BOOL user_known =
        GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &size);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (!user_known) {
        SetLastError(error);
        return fail(reason, reason_capacity);
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
    DWORD administrators_size = sizeof administrators;
    auto* acl = reinterpret_cast<ACL*>(acl_buffer);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators,
                            &administrators_size) ||
        !InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, client_access, user) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, client_access, administrators) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        return fail(reason, reason_capacity);
    }
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return true;
}
