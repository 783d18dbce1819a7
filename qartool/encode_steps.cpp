#include "encode_steps.h"

#include "report.h"

int begin_encode_job(EncodeJob* job, const uint8_t* data, size_t size, uint32_t key,
                     unsigned options) {
    unsigned steps = 0;
    if (qar_encoded_new(&job->encoded, &job->failure) == QAR_OK)
        qar_encode_begin(job->encoded, data, size, key, options, &steps, &job->failure);
    return job->failure.status == QAR_OK ? int(steps) : 0;
}

void encode_job_part(EncodeJob* job, int part, void* workspace) {
    qar_encode_step(job->encoded, unsigned(part), static_cast<qar_workspace*>(workspace),
                    nullptr);
}

void end_encode_job(EncodeJob* job) {
    if (job->encoded == nullptr || job->failure.status != QAR_OK) return;
    qar_encode_end(job->encoded, &job->failure);
}

void free_encode_job(EncodeJob* job) {
    qar_encoded_free(job->encoded);
    job->encoded = nullptr;
}

void* make_encode_workspace(void*) {
    qar_workspace* workspace = nullptr;
    if (qar_workspace_new(&workspace, nullptr) != QAR_OK) exit_out_of_memory();
    return workspace;
}

void free_encode_workspace(void*, void* workspace) {
    qar_workspace_free(static_cast<qar_workspace*>(workspace));
}
